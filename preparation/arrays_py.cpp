#include "arrays_py.hpp"

#define NO_IMPORT_ARRAY
#include "../module/numpy_api.hpp"

namespace huesift {

preparation::byte_rows byte_rows_of(PyObject* rows) {
    auto* arr = reinterpret_cast<PyArrayObject*>(rows);
    return {static_cast<const std::uint8_t*>(PyArray_DATA(arr)), PyArray_DIM(arr, 0),
            PyArray_STRIDE(arr, 0), PyArray_STRIDE(arr, 1)};
}

preparation::distinct_rows distinct_rows_of(PyObject* rows, unsigned threads,
                                            std::uint32_t* index) {
    const preparation::byte_rows view = byte_rows_of(rows);
    gil_release nogil;
    return preparation::find_distinct_rows(view, index, threads);
}

ref first_pixel(PyObject* image) { return borrow(image)[0][0]; }

}  // namespace huesift
