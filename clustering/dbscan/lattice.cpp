// DBSCAN over the distinct colours of 8-bit rows: the weights of their neighbourhoods, which
// of them are core, and the clusters they form.
#include "dbscan.hpp"

#include "boxes.hpp"
#include "cells.hpp"
#include "geometry.hpp"
#include "weights.hpp"

namespace huesift::clustering {

dbscan_result dbscan_lattice(const dbscan_input& in) {
    using namespace dbscan;
    dbscan_result out;
    out.colours = preparation::find_distinct_rows(in.rows, nullptr, in.threads);
    const auto& values = out.colours.values;
    const auto& counts = out.colours.counts;
    const std::size_t u = values.size();
    const metric m(in.mean, in.scale, in.eps);
    const axes ax(in.scale);
    const ball_shape ball(m, ax);

    // Weighted neighbourhood sizes.
    const std::vector<std::uint32_t> by_key = order_by_digits(
        u, [&](std::uint32_t i, int d) { return static_cast<std::size_t>(ax.of(values[i], d)); });
    std::vector<std::uint8_t> core(u, unknown);
    if (u >= 4096) {
        settle_by_boxes(values, counts, ax, m, ball, in.min_samples, core, in.threads);
    }
    {
        const weight_rows rows(values, counts, by_key, ax, ball.widest + 1);
        std::vector<std::int64_t> weight =
            neighbourhood_weights(values, by_key, core, rows, ball, ax, in.threads);
        add_borderline(values, core, rows, ball, ax, m, weight, in.threads);
        for (std::size_t i = 0; i < u; ++i) {
            if (core[i] == unknown) {
                core[i] = weight[i] >= in.min_samples ? core_colour : not_core;
            }
        }
    }
    const std::int64_t clusters = label_clusters(values, core, ax, m, ball, out.label, in.threads);

    out.sizes.assign(static_cast<std::size_t>(clusters), 0);
    out.sums.assign(static_cast<std::size_t>(clusters) * 3, 0);
    for (std::size_t i = 0; i < u; ++i) {
        const std::int64_t l = out.label[i];
        if (l >= 0) {
            const auto c = static_cast<std::size_t>(l);
            out.sizes[c] += counts[i];
            for (std::size_t ch = 0; ch < 3; ++ch) {
                out.sums[3 * c + ch] += counts[i] * values[i][ch];
            }
        }
    }
    return out;
}

void write_row_labels(const dbscan_result& found, const std::vector<std::int64_t>& rank,
                      std::intptr_t* out) {
    const std::uint32_t* index = found.colours.index;
    for (std::size_t i = 0; i < found.colours.rows; ++i) {
        const std::int64_t l = found.label[index[i]];
        out[i] = static_cast<std::intptr_t>(
            l < 0 || rank.empty() ? l : rank[static_cast<std::size_t>(l)]);
    }
}

void write_centres(const dbscan_result& found, double* out) {
    for (std::size_t i = 0; i < 3 * found.sizes.size(); ++i) {
        out[i] = static_cast<double>(found.sums[i]) / static_cast<double>(found.sizes[i / 3]);
    }
}

}  // namespace huesift::clustering
