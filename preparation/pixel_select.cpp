#include "pixel_select.hpp"

namespace huesift::preparation {

namespace {

// Visits the kept pixels in row-major order; `emit` receives the three channel bytes.
template <class Emit>
void for_each_kept(const pixel_grid& g, const selection* mask, Emit&& emit) {
    for (std::ptrdiff_t r = 0; r < g.rows; ++r) {
        const std::uint8_t* row = g.data + r * g.row_stride;
        const std::uint8_t* mrow = mask ? mask->data + r * mask->row_stride : nullptr;
        for (std::ptrdiff_t c = 0; c < g.cols; ++c) {
            if (mrow != nullptr && mrow[c * mask->col_stride] == 0) {
                continue;
            }
            const std::uint8_t* px = row + c * g.col_stride;
            const std::uint8_t a = px[0];
            const std::uint8_t b = px[g.channel_stride];
            const std::uint8_t d = px[2 * g.channel_stride];
            if ((a | b | d) != 0) {
                emit(a, b, d);
            }
        }
    }
}

}  // namespace

std::size_t count_kept(const pixel_grid& grid, const selection* mask) {
    std::size_t n = 0;
    for_each_kept(grid, mask, [&](std::uint8_t, std::uint8_t, std::uint8_t) { ++n; });
    return n;
}

std::size_t gather_kept(const pixel_grid& grid, const selection* mask, std::uint8_t* out,
                        std::size_t capacity) {
    std::size_t found = 0;
    for_each_kept(grid, mask, [&](std::uint8_t a, std::uint8_t b, std::uint8_t c) {
        if (found < capacity) {
            out[3 * found] = a;
            out[3 * found + 1] = b;
            out[3 * found + 2] = c;
        }
        ++found;
    });
    return found;
}

}  // namespace huesift::preparation
