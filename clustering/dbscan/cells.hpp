// DBSCAN's clusters on the 8-bit lattice: cells in which every two colours lie within eps,
// joined with union-find, and the border colours each claimed by a cluster. No Python, no GIL
// needed.
#pragma once

#include "geometry.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering::dbscan {

class union_find {
public:
    explicit union_find(std::size_t n) : parent_(n) {
        std::iota(parent_.begin(), parent_.end(), std::uint32_t{0});
    }

    std::uint32_t find(std::uint32_t i) {
        while (parent_[i] != i) {
            parent_[i] = parent_[parent_[i]];
            i = parent_[i];
        }
        return i;
    }

    void unite(std::uint32_t a, std::uint32_t b) {
        a = find(a);
        b = find(b);
        if (a != b) {
            parent_[std::max(a, b)] = std::min(a, b);
        }
    }

private:
    std::vector<std::uint32_t> parent_;
};

// Boxes of the lattice in which every two colours pass the test, so the core colours of one
// cell belong to one cluster. Cells are numbered in key order.
class cell_grid {
public:
    struct cell {
        std::uint32_t key;
        std::uint32_t core_begin, core_end;  // into cores()
        std::uint32_t begin, end;            // into members()
    };

    cell_grid(const std::vector<colour>& values, const std::vector<std::uint8_t>& core,
              const axes& ax, const metric& m, const ball_shape& ball);

    const std::vector<cell>& cells() const { return cells_; }
    const std::vector<std::uint32_t>& cores() const { return cores_; }
    const std::vector<std::uint32_t>& members() const { return members_; }
    std::uint32_t cell_of(std::uint32_t i) const { return cell_of_[i]; }
    // Cell offsets that may hold a colour within eps of one in the centre cell.
    const std::vector<offset>& near() const { return near_; }

    // The cell `o` away from cell c, or -1 when it is empty or off the lattice.
    std::int64_t neighbour(const cell& c, const offset& o) const {
        int at[3];
        for (int a = 0; a < 3; ++a) {
            at[a] = static_cast<int>(c.key >> (16 - 8 * a) & 255) + o[static_cast<std::size_t>(a)];
            if (at[a] < 0 || at[a] > 255 / side_[a]) {
                return -1;
            }
        }
        const std::uint32_t key = static_cast<std::uint32_t>(at[0] << 16 | at[1] << 8 | at[2]);
        const auto it = std::lower_bound(cells_.begin(), cells_.end(), key,
                                         [](const cell& x, std::uint32_t k) { return x.key < k; });
        return it != cells_.end() && it->key == key ? it - cells_.begin() : -1;
    }

    // Per axis, the nearest and the furthest lattice steps from colour p to cell c.
    void steps(const colour& p, const cell& c, int nearest[3], int furthest[3]) const {
        for (int a = 0; a < 3; ++a) {
            const int lo = static_cast<int>(c.key >> (16 - 8 * a) & 255) * side_[a];
            const int hi = std::min(255, lo + side_[a] - 1);
            const int v = ax_.of(p, a);
            nearest[a] = v < lo ? lo - v : v > hi ? v - hi : 0;
            furthest[a] = std::max(std::abs(v - lo), std::abs(v - hi));
        }
    }

private:
    std::uint32_t key_of(const colour& v) const {
        return static_cast<std::uint32_t>((ax_.of(v, 0) / side_[0]) << 16 |
                                          (ax_.of(v, 1) / side_[1]) << 8 |
                                          (ax_.of(v, 2) / side_[2]));
    }

    // The fewest lattice steps between colours of cells k apart along axis a.
    int gap(int k, int a) const { return k == 0 ? 0 : (std::abs(k) - 1) * side_[a] + 1; }

    axes ax_;
    int side_[3];
    std::vector<cell> cells_;
    std::vector<std::uint32_t> members_;
    std::vector<std::uint32_t> cores_;
    std::vector<std::uint32_t> cell_of_;
    std::vector<offset> near_;
};

// Each colour's cluster in `cluster_of`, -1 for noise, given which colours are core; returns
// the number of clusters.
std::int64_t label_clusters(const std::vector<colour>& values,
                            const std::vector<std::uint8_t>& core, const axes& ax, const metric& m,
                            const ball_shape& ball, std::vector<std::int64_t>& cluster_of,
                            unsigned threads);

}  // namespace huesift::clustering::dbscan
