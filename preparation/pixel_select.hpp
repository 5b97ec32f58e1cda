// Pixel-matrix selection over raw buffers: no Python, safe to run without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::preparation {

// A mask pixel selects its pixel when its value is strictly greater than this.
inline constexpr long mask_threshold = 128;

// A rows x cols grid of 3-byte pixels with arbitrary strides (in bytes).
struct pixel_grid {
    const std::uint8_t* data;
    std::ptrdiff_t rows;
    std::ptrdiff_t cols;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;
    std::ptrdiff_t channel_stride;
};

// A rows x cols grid of booleans (any non-zero byte is true), same geometry as the pixels.
struct selection {
    const std::uint8_t* data;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;
};

// Number of selected pixels (all of them when `mask` is null) that are not (0, 0, 0).
std::size_t count_kept(const pixel_grid& grid, const selection* mask);

// Writes those pixels, in row-major order, as packed rows of three bytes, at most `capacity`
// rows; returns how many it found (more than `capacity` if the pixels changed meanwhile).
std::size_t gather_kept(const pixel_grid& grid, const selection* mask, std::uint8_t* out,
                        std::size_t capacity);

// The same over stretches of rows, on up to `threads` threads: each stretch's count, in order
// (one stretch where the image is too small to share).
std::vector<std::size_t> count_kept_by_rows(const pixel_grid& grid, const selection* mask,
                                            unsigned threads);

// Each stretch's pixels after those of the stretches before it, as gather_kept writes them
// all, given the counts above; whether each stretch found just as many (if not, the pixels
// changed meanwhile, and `out` holds no answer).
bool gather_kept_by_rows(const pixel_grid& grid, const selection* mask,
                         const std::vector<std::size_t>& counts, std::uint8_t* out,
                         unsigned threads);

}  // namespace huesift::preparation
