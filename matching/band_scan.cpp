#include "band_scan.hpp"

#include <limits>

namespace huesift::matching {

band_counts scan_bands(const std::uint8_t* lab, std::size_t n, const std::uint8_t target[3]) {
    band_counts out;
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    std::int64_t very_close = 0;
    std::int64_t close = 0;
    std::int64_t somewhat = 0;
    const int t0 = target[0];
    const int t1 = target[1];
    const int t2 = target[2];
    for (std::size_t i = 0; i < n; ++i) {
        const int d0 = t0 - lab[3 * i];
        const int d1 = t1 - lab[3 * i + 1];
        const int d2 = t2 - lab[3 * i + 2];
        const std::int64_t sq = d0 * d0 + d1 * d1 + d2 * d2;
        very_close += sq < 225;
        close += sq < 900;
        somewhat += sq < 2500;
        if (sq < best) {
            best = sq;
            out.closest_index = static_cast<std::int64_t>(i);
        }
    }
    out.very_close = very_close;
    out.close = close;
    out.somewhat_close = somewhat;
    out.min_squared = n ? best : 0;
    return out;
}

}  // namespace huesift::matching
