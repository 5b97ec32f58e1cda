// StandardScaler().fit over 8-bit rows, to the bit: no Python, no GIL needed.
#pragma once

#include "preparation/distinct_rows.hpp"

#include <cstdlib>

namespace huesift::clustering {

// NumPy's sums run in the order of the float64 copy it makes of the rows, and the fit follows
// that order only where the copy lays the rows out one after another: one row, or channels
// closer together than rows.
inline bool scaler_fit_follows(const preparation::byte_rows& rows) {
    const std::ptrdiff_t row = std::abs(rows.row_stride);
    const std::ptrdiff_t channel = std::abs(rows.channel_stride);
    return rows.rows == 1 || (rows.rows > 1 && channel > 0 && row > channel);
}

// The fitted mean_ and scale_ of StandardScaler().fit(rows), for rows it follows.
void fit_standard_scaler(const preparation::byte_rows& rows, double mean[3], double scale[3]);

}  // namespace huesift::clustering
