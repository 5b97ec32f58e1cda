// The preparation chain that extract_colors and the match report share.
#pragma once

#include "../module/methods.hpp"

namespace huesift {

// Paths loaded, then preprocessing, feature space and the pixel matrix, each step through its
// dispatch.
ref prepare_pixels(call_context& ctx, PyObject* image, PyObject* mask);

}  // namespace huesift
