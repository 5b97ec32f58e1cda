// DBSCAN over 8-bit colour rows without storing neighbourhoods: no Python, no GIL needed. This
// is the whole of it a caller sees; lattice.cpp drives the parts, which live beside it.
//
// Equal rows have equal neighbourhoods, so the work is done once per distinct colour, each
// weighted by its pixel count and numbered by its first occurrence; that gives the labels a
// radius query over every row would give, in the same cluster order.
//
// Neighbourhood weights are counted on the 8-bit lattice: the eps-ball is the same set of
// offsets around every colour, apart from the few offsets whose distance lies within
// rounding of eps, which get scikit-learn's exact test colour by colour. Clusters are then
// joined over a grid of cells in which every two colours lie within eps, so only pairs of
// neighbouring cells need a closer look. Time follows the number of distinct colours and
// memory the input, whatever the ball's size.
#pragma once

#include "preparation/distinct_rows.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering {

// Whether dbscan_lattice takes this many rows: fewer than 2^31, numbered in 32 bits.
inline bool dbscan_accepts(std::ptrdiff_t rows) { return rows < (std::ptrdiff_t{1} << 31); }

struct dbscan_input {
    preparation::byte_rows rows;  // as dbscan_accepts() takes them
    double mean[3];               // the fitted scaler's mean_
    double scale[3];              // the fitted scaler's scale_
    std::int64_t min_samples;
    double eps;
    unsigned threads;  // the work is shared among this many
};

struct dbscan_result {
    preparation::distinct_rows colours;
    std::vector<std::int64_t> label;  // per distinct colour, -1 for noise
    std::vector<std::int64_t> sizes;  // pixels per cluster
    std::vector<std::int64_t> sums;   // 3 channel sums per cluster
};

dbscan_result dbscan_lattice(const dbscan_input& in);

// Every row's label, cluster l written as rank[l] when rank is not empty.
void write_row_labels(const dbscan_result& found, const std::vector<std::int64_t>& rank,
                      std::intptr_t* out);

// Each cluster's centre, the mean of its pixels: clusters x 3 values.
void write_centres(const dbscan_result& found, double* out);

}  // namespace huesift::clustering
