// Array helpers the wrappers share: views of plain byte rows for the native cores, their
// distinct colours, and one colour through a one-pixel image.
#pragma once

#include "../module/pyref.hpp"
#include "distinct_rows.hpp"

#include <cstdint>

namespace huesift {

// The rows of an array the gate allowed as plain byte rows (an exact uint8 ndarray, N x 3).
preparation::byte_rows byte_rows_of(PyObject* rows);

// The distinct rows of such an array, found with the GIL released on up to `threads` threads;
// each row's number goes into `index` when given.
preparation::distinct_rows distinct_rows_of(PyObject* rows, unsigned threads,
                                            std::uint32_t* index = nullptr);

// image[0][0]
ref first_pixel(PyObject* image);

// One colour through a one-pixel image: convert(uint8([[color]]))[0][0], where `convert` calls
// cv2.cvtColor with the code; the caller decides when each name is read.
template <class Convert>
ref convert_one_pixel(const ref& uint8, PyObject* color, Convert&& convert) {
    ref image = call(uint8, nested(color));
    return first_pixel(convert(image).get());
}

}  // namespace huesift
