// Neighbourhood weights on the 8-bit lattice: the pixels within eps of each colour, counted
// over lattice rows of running sums. No Python, no GIL needed.
#pragma once

#include "geometry.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering::dbscan {

// Lattice rows along z of the colours' weights, as running sums padded so that any interval
// of half-width up to `pad` around any z is two reads: the weight of z - h ..= z + h is
// row[z + h + 1 + pad] - row[z - h + pad]. Only occupied rows are stored.
class weight_rows {
public:
    weight_rows(const std::vector<colour>& values, const std::vector<std::int64_t>& counts,
                const std::vector<std::uint32_t>& by_key, const axes& ax, int pad);

    static std::size_t row_of(const colour& v, const axes& ax) {
        return static_cast<std::size_t>(ax.of(v, 0) << 8 | ax.of(v, 1));
    }

    // Running sums of row (x, y), or null when no colour lies on it.
    const std::int32_t* row(int x, int y) const {
        const std::int32_t s = slot_[static_cast<std::size_t>(x << 8 | y)];
        return s < 0 ? nullptr : sums_.data() + static_cast<std::size_t>(s) * length_;
    }

    // Positions in key order of the colours on row r.
    std::uint32_t begin(std::size_t r) const { return first_[r]; }
    std::uint32_t end(std::size_t r) const { return first_[r + 1]; }
    int pad() const { return pad_; }

private:
    int pad_;
    std::size_t length_;
    std::vector<std::uint32_t> first_;
    std::vector<std::int32_t> slot_;
    std::vector<std::int32_t> sums_;
};

// The neighbourhood weight of each colour whose state is `unknown`. Centre rows are taken in
// 16 x 16 tiles; each source row near a tile is read once and added, shifted by its
// half-width, to every centre row whose ball crosses it, so the cost is one vector add per
// (centre row, ball row) pair. A centre row with few colours over a wide span is summed at
// its colours only.
std::vector<std::int64_t> neighbourhood_weights(const std::vector<colour>& values,
                                                const std::vector<std::uint32_t>& by_key,
                                                const std::vector<std::uint8_t>& state,
                                                const weight_rows& rows, const ball_shape& ball,
                                                const axes& ax, unsigned threads);

// For the colours still unknown, the colours in the offsets rounding decides, tested one by
// one.
void add_borderline(const std::vector<colour>& values, const std::vector<std::uint8_t>& state,
                    const weight_rows& rows, const ball_shape& ball, const axes& ax,
                    const metric& m, std::vector<std::int64_t>& weight, unsigned threads);

}  // namespace huesift::clustering::dbscan
