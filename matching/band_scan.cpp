#include "band_scan.hpp"

#include <algorithm>

namespace huesift::matching {

namespace {

inline std::int32_t squared(const std::uint8_t* px, std::int32_t t0, std::int32_t t1,
                            std::int32_t t2) {
    const std::int32_t d0 = t0 - px[0];
    const std::int32_t d1 = t1 - px[1];
    const std::int32_t d2 = t2 - px[2];
    return d0 * d0 + d1 * d1 + d2 * d2;
}

}  // namespace

band_counts scan_bands(const std::uint8_t* lab, std::size_t n, const std::uint8_t target[3],
                       const std::int64_t* weights) {
    band_counts out;
    if (n == 0) {
        return out;
    }
    const std::int32_t t0 = target[0];
    const std::int32_t t1 = target[1];
    const std::int32_t t2 = target[2];
    // Counts and the minimum in one branch-free pass the compiler can vectorise; the first
    // row holding the minimum is found afterwards.
    std::int64_t very_close = 0;
    std::int64_t close = 0;
    std::int64_t somewhat = 0;
    std::int32_t best = 3 * 255 * 255 + 1;
    constexpr std::int32_t very_close_sq = band_limits[0] * band_limits[0];
    constexpr std::int32_t close_sq = band_limits[1] * band_limits[1];
    constexpr std::int32_t somewhat_sq = band_limits[2] * band_limits[2];
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t sq = squared(lab + 3 * i, t0, t1, t2);
        const std::int64_t w = weights != nullptr ? weights[i] : 1;
        very_close += (sq < very_close_sq) * w;
        close += (sq < close_sq) * w;
        somewhat += (sq < somewhat_sq) * w;
        best = std::min(best, sq);
    }
    std::size_t first = 0;
    while (first + 1 < n && squared(lab + 3 * first, t0, t1, t2) != best) {
        ++first;
    }
    out.very_close = very_close;
    out.close = close;
    out.somewhat_close = somewhat;
    out.closest_index = static_cast<std::int64_t>(first);
    out.min_squared = best;
    return out;
}

void rows_per_pixel(const std::uint8_t* rows, const std::uint32_t* index, std::size_t pixels,
                    std::uint8_t* out) {
    for (std::size_t i = 0; i < pixels; ++i) {
        std::copy_n(rows + 3 * std::size_t{index[i]}, 3, out + 3 * i);
    }
}

}  // namespace huesift::matching
