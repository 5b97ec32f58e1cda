// extract_colors' k-means and shares in one pass where both steps are the class's own: the
// shares follow from how many pixels each colour holds, so no pixel is labelled or counted.
#pragma once

#include "module/methods.hpp"

#include <cstdint>
#include <vector>

namespace huesift {

// The k-means step, (colors, labels). With `counts`, where the native fit decides, each label's
// pixel count goes there in place of the labels, and the pair holds None for them.
ref cluster_kmeans_counting(call_context& ctx, PyObject* pixels, std::vector<std::int64_t>* counts);

// The percentages step's result for these per-label counts, as it gives it for the labels.
ref shares_list(const std::vector<std::int64_t>& counts);

}  // namespace huesift
