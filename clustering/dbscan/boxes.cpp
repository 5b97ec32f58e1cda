#include "boxes.hpp"

#include "preparation/parallel.hpp"

namespace huesift::clustering::dbscan {

void settle_by_boxes(const std::vector<colour>& values, const std::vector<std::int64_t>& counts,
                     const axes& ax, const metric& m, const ball_shape& ball,
                     std::int64_t min_samples, std::vector<std::uint8_t>& state, unsigned threads) {
    constexpr int side = 4;
    constexpr int across = 256 / side + 1;
    std::vector<std::int32_t> sums(static_cast<std::size_t>(across) * across * across, 0);
    auto at = [&](int i, int j, int k) -> std::int32_t& {
        return sums[(static_cast<std::size_t>(i) * across + static_cast<std::size_t>(j)) * across +
                    static_cast<std::size_t>(k)];
    };
    for (std::size_t i = 0; i < values.size(); ++i) {
        at(ax.of(values[i], 0) / side + 1, ax.of(values[i], 1) / side + 1,
           ax.of(values[i], 2) / side + 1) += static_cast<std::int32_t>(counts[i]);
    }
    for (int i = 1; i < across; ++i) {
        for (int j = 1; j < across; ++j) {
            for (int k = 1; k < across; ++k) {
                at(i, j, k) += at(i - 1, j, k) + at(i, j - 1, k) + at(i, j, k - 1) -
                               at(i - 1, j - 1, k) - at(i - 1, j, k - 1) - at(i, j - 1, k - 1) +
                               at(i - 1, j - 1, k - 1);
            }
        }
    }
    // Cells lo ..= hi along each axis.
    auto weigh = [&](const int lo[3], const int hi[3]) -> std::int64_t {
        if (lo[0] > hi[0] || lo[1] > hi[1] || lo[2] > hi[2]) {
            return 0;
        }
        const int a0 = lo[0], b0 = lo[1], c0 = lo[2], a1 = hi[0] + 1, b1 = hi[1] + 1,
                  c1 = hi[2] + 1;
        return std::int64_t{at(a1, b1, c1)} - at(a0, b1, c1) - at(a1, b0, c1) - at(a1, b1, c0) +
               at(a0, b0, c1) + at(a0, b1, c0) + at(a1, b0, c0) - at(a0, b0, c0);
    };
    int cube[3];
    for (int a = 0; a < 3; ++a) {
        cube[a] = static_cast<int>(ball.reach[a] / std::sqrt(3.0));
    }
    while (m.classify(ax.in_channels(cube[0], cube[1], cube[2])) <= 0) {
        int widest = 0;
        for (int a = 1; a < 3; ++a) {
            if (cube[a] * (ball.reach[widest] + 1) > cube[widest] * (ball.reach[a] + 1)) {
                widest = a;
            }
        }
        --cube[widest];
    }
    parallel_for(values.size() / 4096 + 1, workers_for(values.size() / 4096 + 1, threads),
                 [&](std::size_t task, unsigned) {
                     const std::size_t end = std::min(values.size(), (task + 1) * 4096);
                     for (std::size_t i = task * 4096; i < end; ++i) {
                         int inner_lo[3], inner_hi[3], outer_lo[3], outer_hi[3];
                         for (int a = 0; a < 3; ++a) {
                             const int v = ax.of(values[i], a);
                             inner_lo[a] = (std::max(0, v - cube[a]) + side - 1) / side;
                             inner_hi[a] = (std::min(255, v + cube[a]) + 1) / side - 1;
                             outer_lo[a] = std::max(0, v - ball.reach[a]) / side;
                             outer_hi[a] = std::min(255, v + ball.reach[a]) / side;
                         }
                         if (weigh(inner_lo, inner_hi) >= min_samples) {
                             state[i] = core_colour;
                         } else if (weigh(outer_lo, outer_hi) < min_samples) {
                             state[i] = not_core;
                         }
                     }
                 });
}

}  // namespace huesift::clustering::dbscan
