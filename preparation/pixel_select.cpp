#include "pixel_select.hpp"

#include "parallel.hpp"

#include <algorithm>
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

namespace {

// Rows [first, end) of the grid, and of the mask.
pixel_grid rows_of(const pixel_grid& g, std::ptrdiff_t first, std::ptrdiff_t end) {
    return {g.data + first * g.row_stride,
            end - first,
            g.cols,
            g.row_stride,
            g.col_stride,
            g.channel_stride};
}
selection rows_of(const selection& m, std::ptrdiff_t first) {
    return {m.data + first * m.row_stride, m.row_stride, m.col_stride};
}

// Where stretch t of `parts` starts.
std::ptrdiff_t first_row(const pixel_grid& g, std::size_t t, std::size_t parts) {
    return static_cast<std::ptrdiff_t>(static_cast<std::size_t>(g.rows) * t / parts);
}

}  // namespace

std::vector<std::size_t> count_kept_by_rows(const pixel_grid& grid, const selection* mask,
                                            unsigned threads) {
    // Below a quarter of a megapixel a second thread costs more than it saves.
    const auto pixels = static_cast<std::size_t>(grid.rows) * static_cast<std::size_t>(grid.cols);
    const std::size_t parts = pixels < (std::size_t{1} << 18)
                                  ? 1
                                  : workers_for(static_cast<std::size_t>(grid.rows), threads);
    std::vector<std::size_t> counts(parts);
    parallel_for(parts, static_cast<unsigned>(parts), [&](std::size_t t, unsigned) {
        const std::ptrdiff_t first = first_row(grid, t, parts);
        const std::ptrdiff_t end = first_row(grid, t + 1, parts);
        const selection part_mask = mask != nullptr ? rows_of(*mask, first) : selection{};
        counts[t] = count_kept(rows_of(grid, first, end), mask != nullptr ? &part_mask : nullptr);
    });
    return counts;
}

bool gather_kept_by_rows(const pixel_grid& grid, const selection* mask,
                         const std::vector<std::size_t>& counts, std::uint8_t* out,
                         unsigned threads) {
    const std::size_t parts = counts.size();
    std::vector<std::size_t> start(parts, 0);
    for (std::size_t t = 1; t < parts; ++t) {
        start[t] = start[t - 1] + counts[t - 1];
    }
    std::vector<std::uint8_t> whole(parts, 0);
    parallel_for(parts, workers_for(parts, threads), [&](std::size_t t, unsigned) {
        const std::ptrdiff_t first = first_row(grid, t, parts);
        const std::ptrdiff_t end = first_row(grid, t + 1, parts);
        const selection part_mask = mask != nullptr ? rows_of(*mask, first) : selection{};
        // Its own room only: a stretch never writes into the next one's.
        whole[t] = gather_kept(rows_of(grid, first, end), mask != nullptr ? &part_mask : nullptr,
                               out + 3 * start[t], counts[t]) == counts[t];
    });
    return std::all_of(whole.begin(), whole.end(), [](std::uint8_t w) { return w != 0; });
}

}  // namespace huesift::preparation
