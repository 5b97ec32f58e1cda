// Box bounds on DBSCAN's neighbourhood weights: colours whose count they settle need none.
// No Python, no GIL needed.
#pragma once

#include "geometry.hpp"

#include <cstdint>
#include <vector>

namespace huesift::clustering::dbscan {

// Box bounds on the neighbourhood weight, from running sums over cells of 4 x 4 x 4 lattice
// values: the cells inside a cube within the ball weigh no more than the ball, and the cells
// meeting the box around it no less. Colours the bounds settle need no count.
void settle_by_boxes(const std::vector<colour>& values, const std::vector<std::int64_t>& counts,
                     const axes& ax, const metric& m, const ball_shape& ball,
                     std::int64_t min_samples, std::vector<std::uint8_t>& state, unsigned threads);

}  // namespace huesift::clustering::dbscan
