// Per-label pixel counts over a raw label buffer: no Python, safe to run without the GIL.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering {

// counts[k] is the number of entries equal to label k; label -1 (noise) is not counted.
// Returns false, leaving the work to NumPy, for a label below -1 or at or above `limit`.
template <class T>
bool count_labels(const char* data, std::ptrdiff_t stride, std::ptrdiff_t n, std::int64_t limit,
                  std::vector<std::int64_t>& counts) {
    // The first few labels (a palette's) get four tallies each, taken in turn: in a run of equal
    // labels, the usual case in a photo, each increment would otherwise wait for the one before.
    constexpr std::size_t few = 64;
    std::int64_t tally[4 * few] = {};
    counts.clear();
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const T label = *reinterpret_cast<const T*>(data + i * stride);
        if constexpr (static_cast<T>(-1) < 0) {
            if (label == static_cast<T>(-1)) {
                continue;
            }
            if (label < 0) {
                return false;
            }
        }
        if (static_cast<std::uint64_t>(label) >= static_cast<std::uint64_t>(limit)) {
            return false;
        }
        const auto k = static_cast<std::size_t>(label);
        if (k >= counts.size()) {
            counts.resize(k + 1, 0);
        }
        if (k < few) {
            ++tally[4 * k + (static_cast<std::size_t>(i) & 3)];
        } else {
            ++counts[k];
        }
    }
    for (std::size_t k = 0; k < std::min(few, counts.size()); ++k) {
        counts[k] = tally[4 * k] + tally[4 * k + 1] + tally[4 * k + 2] + tally[4 * k + 3];
    }
    return true;
}

// The shares in percent of the counted pixels, in ascending label order, labels without
// pixels left out; the arithmetic is NumPy's: count / total first, then times 100.
std::vector<double> shares_of(const std::vector<std::int64_t>& counts);

}  // namespace huesift::clustering
