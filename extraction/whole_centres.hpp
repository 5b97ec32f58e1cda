// Centre components that are whole numbers but for floating-point noise, made whole: no
// Python, no GIL needed. A cluster of one exact colour has a whole-number mean, which floating
// point misses by a hair on either side (35.99999999999997); dropping the fraction would then
// lose a unit.
#pragma once

#include <cstddef>

namespace huesift::extraction {

// How far from a whole number a centre component may lie and still count as that number.
// Float64 centres carry noise below 1e-9, while a genuine fraction of a cluster of up to
// 40 million pixels lies at least 2.5e-8 from a whole number. Float32 centres (cuML's) resolve
// 1.5e-5 near 255 and drift by up to about 4e-4 over a tree-ordered sum of 40 million pixels;
// the price of 1e-3 is that a mean within a thousandth below a whole number reports that
// number, far below what an 8-bit colour shows.
inline constexpr double whole_within_double = 1e-8;
inline constexpr double whole_within_float = 1e-3;

// Each of the n values within `within` of a whole number of 0 to 255 becomes that number;
// true when any changed.
bool snap_whole(double* values, std::size_t n, double within);
bool snap_whole(float* values, std::size_t n, double within);

}  // namespace huesift::extraction
