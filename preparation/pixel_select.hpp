// Pixel-matrix selection over raw buffers: no Python, safe to run without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace huesift::preparation {

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

// Writes those pixels, in row-major order, as packed rows of three bytes.
void gather_kept(const pixel_grid& grid, const selection* mask, std::uint8_t* out);

}  // namespace huesift::preparation
