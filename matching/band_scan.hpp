// The pixel-level match statistics over packed 8-bit L*a*b* rows: no Python, no GIL needed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace huesift::matching {

// The limits of the three bands, very close, close and somewhat close: a pixel is in a band when
// its distance to the target is strictly below the band's limit.
inline constexpr std::int32_t band_limits[3] = {15, 30, 50};

// Distances are compared through their exact integer squares: for whole 8-bit differences
// sqrt(d2) < 15 holds exactly when d2 < 225, and the first minimum of d2 is the first
// minimum of its square root.
struct band_counts {
    std::int64_t very_close = 0;      // distance < 15
    std::int64_t close = 0;           // distance < 30
    std::int64_t somewhat_close = 0;  // distance < 50
    std::int64_t closest_index = 0;   // first row at the smallest distance
    std::int64_t min_squared = 0;
};

// `weights`, when given, counts row i as weights[i] rows (distinct colours standing for
// their pixels); the closest index is then the first row, in the rows' order, at the minimum.
band_counts scan_bands(const std::uint8_t* lab_rows, std::size_t n, const std::uint8_t target[3],
                       const std::int64_t* weights = nullptr);

// The rows of every pixel again from its distinct colour's: out[i] = rows[index[i]], for
// packed rows of three bytes.
void rows_per_pixel(const std::uint8_t* rows, const std::uint32_t* index, std::size_t pixels,
                    std::uint8_t* out);

}  // namespace huesift::matching
