#include "pixel_select.hpp"

#include <bit>
#include <cstring>

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

// Rows of packed pixels, their channels in order, and no mask: an image as it is decoded. A
// pixel is then read as a word, its three bytes and the next pixel's first, without a branch;
// the last pixel of a row, whose word could reach past the image, is read byte by byte.
bool packed_rows(const pixel_grid& g, const selection* mask) {
    return mask == nullptr && g.col_stride == 3 && g.channel_stride == 1 && g.cols > 0;
}

std::uint32_t word_at(const std::uint8_t* px) {
    std::uint32_t word;
    std::memcpy(&word, px, sizeof word);
    return word;
}

// The bits of a word read at a pixel that hold its three bytes.
constexpr std::uint32_t pixel_bits =
    std::endian::native == std::endian::little ? 0x00ffffffu : 0xffffff00u;

}  // namespace

std::size_t count_kept(const pixel_grid& grid, const selection* mask) {
    std::size_t n = 0;
    if (!packed_rows(grid, mask)) {
        for_each_kept(grid, mask, [&](std::uint8_t, std::uint8_t, std::uint8_t) { ++n; });
        return n;
    }
    for (std::ptrdiff_t r = 0; r < grid.rows; ++r) {
        const std::uint8_t* row = grid.data + r * grid.row_stride;
        const std::uint8_t* last = row + 3 * (grid.cols - 1);
        for (const std::uint8_t* px = row; px < last; px += 3) {
            n += (word_at(px) & pixel_bits) != 0;
        }
        n += (last[0] | last[1] | last[2]) != 0;
    }
    return n;
}

std::size_t gather_kept(const pixel_grid& grid, const selection* mask, std::uint8_t* out,
                        std::size_t capacity) {
    std::size_t found = 0;
    auto keep = [&](std::uint8_t a, std::uint8_t b, std::uint8_t c) {
        if (found < capacity) {
            out[3 * found] = a;
            out[3 * found + 1] = b;
            out[3 * found + 2] = c;
        }
        ++found;
    };
    if (!packed_rows(grid, mask)) {
        for_each_kept(grid, mask, keep);
        return found;
    }
    for (std::ptrdiff_t r = 0; r < grid.rows; ++r) {
        const std::uint8_t* row = grid.data + r * grid.row_stride;
        const std::uint8_t* last = row + 3 * (grid.cols - 1);
        for (const std::uint8_t* px = row; px < last; px += 3) {
            const std::uint32_t word = word_at(px);
            // Written whether kept or not: a pixel not kept is written over by the next one
            // kept. The word's fourth byte lands in the next pixel's place, when there is one.
            if (found + 1 < capacity) {
                std::memcpy(out + 3 * found, &word, sizeof word);
            } else if (found < capacity) {
                std::memcpy(out + 3 * found, px, 3);
            }
            found += (word & pixel_bits) != 0;
        }
        if ((last[0] | last[1] | last[2]) != 0) {
            keep(last[0], last[1], last[2]);
        }
    }
    return found;
}

}  // namespace huesift::preparation
