// The preparation chain that extract_colors and the match report share.
#pragma once

#include "../module/module_state.hpp"

namespace huesift {

// Paths loaded, then preprocessing, feature space and the pixel matrix, each step through its
// dispatch.
ref prepare_pixels(PyObject* self, module_state& st, PyObject* image, PyObject* mask);

}  // namespace huesift
