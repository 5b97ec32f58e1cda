// What a native path requires to stand in for steps written in NumPy, OpenCV or scikit-learn:
// each of those as the module loaded it, and plain rows.
#pragma once

#include "module_state.hpp"

#include <utility>
#include <vector>

namespace huesift {

// True while each named attribute of `owner` is still the object recorded beside its name.
// Never raises.
bool attributes_unchanged(PyObject* owner, const std::vector<std::pair<ref, ref>>& attributes);

// True while `np` and `cv2` in the module, and the library functions the native paths
// replace, are still the objects the module loaded. Never raises.
bool libraries_intact(const module_state& st);

// An exact ndarray of uint8 (no subclass), as the native paths take.
bool is_plain_uint8(PyObject* obj);
// Such an array with N rows of 3 values (any strides).
bool is_plain_byte_rows(PyObject* rows);

}  // namespace huesift
