// Cluster percentages as a ColorExtractor step: each cluster's share of the clustered pixels.
#include "label_counts.hpp"

#include "counted_py.hpp"

#include "module/methods.hpp"

#define NO_IMPORT_ARRAY
#include "module/numpy_api.hpp"

#include <vector>

namespace huesift {

namespace {

template <class T>
bool count_typed(PyArrayObject* arr, std::vector<std::int64_t>& counts) {
    const npy_intp n = PyArray_DIM(arr, 0);
    const std::int64_t limit = n > (1 << 16) ? n : (1 << 16);
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    gil_release nogil;
    return clustering::count_labels<T>(data, stride, n, limit, counts);
}

// Counts natively for plain integer label vectors; false hands the work to NumPy.
bool count_native(PyObject* labels, std::vector<std::int64_t>& counts) {
    if (!PyArray_CheckExact(labels)) {
        return false;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(labels);
    if (PyArray_NDIM(arr) != 1 || !PyArray_ISALIGNED(arr) || !PyArray_ISNOTSWAPPED(arr)) {
        return false;
    }
    switch (PyArray_TYPE(arr)) {
        case NPY_BYTE: return count_typed<npy_byte>(arr, counts);
        case NPY_UBYTE: return count_typed<npy_ubyte>(arr, counts);
        case NPY_SHORT: return count_typed<npy_short>(arr, counts);
        case NPY_USHORT: return count_typed<npy_ushort>(arr, counts);
        case NPY_INT: return count_typed<npy_int>(arr, counts);
        case NPY_UINT: return count_typed<npy_uint>(arr, counts);
        case NPY_LONG: return count_typed<npy_long>(arr, counts);
        case NPY_ULONG: return count_typed<npy_ulong>(arr, counts);
        case NPY_LONGLONG: return count_typed<npy_longlong>(arr, counts);
        case NPY_ULONGLONG: return count_typed<npy_ulonglong>(arr, counts);
        default: return false;
    }
}

}  // namespace

ref shares_list(const std::vector<std::int64_t>& counts) {
    const std::vector<double> shares = clustering::shares_of(counts);
    ref result = steal(PyList_New(static_cast<Py_ssize_t>(shares.size())));
    for (std::size_t i = 0; i < shares.size(); ++i) {
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i),
                        from_double(shares[i]).release());  // steals the new reference
    }
    return result;
}

ref calculate_percentages(call_context& ctx, PyObject* labels) {
    std::vector<std::int64_t> counts;
    if (labels != Py_None && ctx.gate.allows(native_path::shares) && count_native(labels, counts)) {
        return shares_list(counts);
    }
    ref np = global(ctx.st, ctx.st.n.np);
    ref pair = call_kw(np.attr("unique"), {labels}, {{"return_counts", borrow(Py_True)}});
    ref unique_labels = steal(PySequence_GetItem(pair.get(), 0));
    ref label_counts = steal(PySequence_GetItem(pair.get(), 1));
    ref valid_mask = compare(unique_labels, from_long(-1), Py_NE);
    ref valid_counts = label_counts[valid_mask];
    ref total = np.attr("sum")(valid_counts);
    ref fraction = valid_counts / total;
    ref percent = fraction * from_long(100);
    return call_method(percent.get(), "tolist");
}

}  // namespace huesift
