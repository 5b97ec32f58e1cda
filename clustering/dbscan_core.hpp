// DBSCAN over 8-bit colour rows without storing neighbourhoods: no Python, no GIL needed.
//
// Equal rows have equal neighbourhoods, so the work is done once per distinct colour, each
// weighted by its pixel count and numbered by its first occurrence; that gives the labels a
// radius query over every row would give, in the same cluster order. Neighbourhoods live on
// the 8-bit lattice: for each lattice row along one axis the eps-ball is an interval, found
// with the exact standardised distance test, and counted through prefix sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering {

struct dbscan_input {
    const std::uint8_t* data;  // n rows of 3 bytes
    std::ptrdiff_t rows;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t channel_stride;
    double mean[3];   // the fitted scaler's mean_
    double scale[3];  // the fitted scaler's scale_
    std::int64_t min_samples;
    double eps;
};

struct dbscan_result {
    std::vector<std::int64_t> labels;  // one per row, -1 for noise
    std::vector<std::int64_t> sizes;   // pixels per cluster
    std::vector<std::int64_t> sums;    // 3 channel sums per cluster
};

dbscan_result dbscan_lattice(const dbscan_input& in);

}  // namespace huesift::clustering
