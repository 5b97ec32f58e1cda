// The distinct rows of an 8-bit N x 3 matrix: no Python, safe to run without the GIL.
//
// Equal rows get the same label, distance and conversion wherever they are analysed, so the
// per-pixel work of clustering and matching can be done once per distinct colour, weighted
// by its pixel count.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace huesift::preparation {

// n rows of three bytes, with arbitrary strides (in bytes).
struct byte_rows {
    const std::uint8_t* data;
    std::ptrdiff_t rows;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t channel_stride;
};

struct distinct_rows {
    std::vector<std::array<std::uint8_t, 3>> values;  // in order of first occurrence
    std::vector<std::int64_t> counts;                 // rows holding each value
    std::vector<std::int64_t> first;                  // index of each value's first row
    // Per input row, its value's number: in the caller's buffer when one was given, else in
    // `owned`, left uninitialised until written, as it is large.
    std::uint32_t* index = nullptr;
    std::unique_ptr<std::uint32_t[]> owned;
    std::size_t rows = 0;
};

// Memory is proportional to the input: a hash table for small inputs, a direct table over
// the 2^24 colours only when the input is large enough to pay for it. `index`, when given,
// holds a number for each row. Large inputs are shared among up to `threads` threads, with
// the same result.
distinct_rows find_distinct_rows(const byte_rows& in, std::uint32_t* index = nullptr,
                                 unsigned threads = 1);

}  // namespace huesift::preparation
