#include "standard_scaler.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace huesift::clustering {

// The mean is an exact whole sum over n. The variance is the corrected two-pass formula of
// scikit-learn's _incremental_mean_and_var, whose two sums NumPy runs in row order over a
// C-ordered float64 copy; a variance within its rounding bound of zero gives scale 1.
void fit_standard_scaler(const preparation::byte_rows& rows, double mean[3], double scale[3]) {
    auto channel = [&](std::ptrdiff_t i, int c) {
        return rows.data[i * rows.row_stride + c * rows.channel_stride];
    };
    std::int64_t sums[3] = {0, 0, 0};
    for (std::ptrdiff_t i = 0; i < rows.rows; ++i) {
        for (int c = 0; c < 3; ++c) {
            sums[c] += channel(i, c);
        }
    }
    const auto n = static_cast<double>(rows.rows);
    double centred[3][256];
    double square[3][256];
    for (int c = 0; c < 3; ++c) {
        mean[c] = static_cast<double>(sums[c]) / n;
        for (int v = 0; v < 256; ++v) {
            centred[c][v] = static_cast<double>(v) - mean[c];
            square[c][v] = centred[c][v] * centred[c][v];
        }
    }
    double correction[3] = {0.0, 0.0, 0.0};
    double spread[3] = {0.0, 0.0, 0.0};
    for (std::ptrdiff_t i = 0; i < rows.rows; ++i) {
        for (int c = 0; c < 3; ++c) {
            correction[c] += centred[c][channel(i, c)];
            spread[c] += square[c][channel(i, c)];
        }
    }
    const double eps = std::numeric_limits<double>::epsilon();
    for (int c = 0; c < 3; ++c) {
        const double var = (spread[c] - correction[c] * correction[c] / n) / n;
        const double drift = n * mean[c] * eps;
        scale[c] = var <= n * eps * var + drift * drift ? 1.0 : std::sqrt(var);
    }
}

}  // namespace huesift::clustering
