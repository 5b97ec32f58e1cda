#include "dbscan_core.hpp"

#include "parallel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

namespace huesift::clustering {

namespace {

using colour = std::array<std::uint8_t, 3>;
using offset = std::array<int, 3>;

// What is known of a colour before its neighbourhood is counted.
enum : std::uint8_t { not_core, core_colour, unknown };

// The neighbourhood test of a KD-tree radius query on standardised rows, and what it gives
// for a whole offset between colours. Coordinates here are in channel order.
class metric {
public:
    explicit metric(const dbscan_input& in) : limit_(in.eps * in.eps) {
        for (int c = 0; c < 3; ++c) {
            for (int v = 0; v < 256; ++v) {
                t_[c][v] = (static_cast<double>(v) - in.mean[c]) / in.scale[c];
            }
            scale_[c] = in.scale[c];
            top_[c] = std::max(std::fabs(in.mean[c]), std::fabs(255.0 - in.mean[c])) / in.scale[c];
        }
    }

    // The squared differences of the standardised values summed in channel order, as
    // scikit-learn sums them, compared with eps squared.
    bool within(const std::uint8_t* p, const std::uint8_t* q) const {
        double d = 0.0;
        for (int c = 0; c < 3; ++c) {
            const double tmp = t_[c][p[c]] - t_[c][q[c]];
            d += tmp * tmp;
        }
        return d <= limit_;
    }

    // For colours d lattice steps apart (per channel): 1 when the test passes wherever the
    // pair lies, -1 when it fails wherever, 0 when rounding decides. The distance of the
    // offset is exact up to a few units in the last place; the margin bounds the rounding of
    // the standardised values (each within 2^-52 of its size), of their difference, square
    // and sum, and of this estimate itself, with room to spare.
    int classify(const offset& d) const {
        double nominal = 0.0;
        double error = 0.0;
        for (int c = 0; c < 3; ++c) {
            const double a = std::abs(d[c]) / scale_[c];
            const double e = top_[c] * 0x1p-50 + a * 0x1p-51;
            nominal += a * a;
            error += 2.0 * a * e + e * e;
        }
        error = 4.0 * (error + 0x1p-50 * (nominal + limit_));
        if (nominal + error < limit_) {
            return 1;
        }
        return nominal - error > limit_ ? -1 : 0;
    }

private:
    double t_[3][256];
    double scale_[3];
    double top_[3];
    double limit_;
};

// The lattice seen with its axes reordered: rows run along z, the channel with the widest
// ball, so a ball crosses the fewest rows. x and y are the other two channels in order.
struct axes {
    int channel[3];

    explicit axes(const double scale[3]) {
        int z = 0;
        for (int c = 1; c < 3; ++c) {
            if (scale[c] > scale[z]) {
                z = c;
            }
        }
        channel[2] = z;
        channel[0] = z == 0 ? 1 : 0;
        channel[1] = z == 2 ? 1 : 2;
    }

    int of(const colour& v, int axis) const { return v[static_cast<std::size_t>(channel[axis])]; }

    // A reordered offset back in channel order.
    offset in_channels(int dx, int dy, int dz) const {
        offset d{};
        d[static_cast<std::size_t>(channel[0])] = dx;
        d[static_cast<std::size_t>(channel[1])] = dy;
        d[static_cast<std::size_t>(channel[2])] = dz;
        return d;
    }
};

// The offsets (reordered) whose test passes for every colour: for each row (dx, dy), the
// interval |dz| <= half. Offsets that rounding decides are listed apart.
struct ball_shape {
    int reach[3] = {0, 0, 0};  // the furthest offset along each axis that may pass
    int widest = 0;            // the largest half
    std::vector<int> half;     // (2 reach[0] + 1) x (2 reach[1] + 1), -1 when none
    std::vector<offset> borderline;

    ball_shape(const metric& m, const axes& ax) {
        for (int a = 0; a < 3; ++a) {
            int k[3] = {0, 0, 0};
            while (reach[a] < 255) {
                k[a] = reach[a] + 1;
                if (m.classify(ax.in_channels(k[0], k[1], k[2])) < 0) {
                    break;
                }
                ++reach[a];
            }
        }
        const int width = 2 * reach[1] + 1;
        half.assign(static_cast<std::size_t>((2 * reach[0] + 1) * width), -1);
        for (int dx = 0; dx <= reach[0]; ++dx) {
            for (int dy = 0; dy <= reach[1]; ++dy) {
                int h = -1;
                while (h < reach[2] && m.classify(ax.in_channels(dx, dy, h + 1)) > 0) {
                    ++h;
                }
                for (int sx : {1, -1}) {
                    for (int sy : {1, -1}) {
                        if ((dx == 0 && sx < 0) || (dy == 0 && sy < 0)) {
                            continue;
                        }
                        half[static_cast<std::size_t>((sx * dx + reach[0]) * width + sy * dy +
                                                      reach[1])] = h;
                        for (int dz = h + 1;
                             dz <= reach[2] && m.classify(ax.in_channels(dx, dy, dz)) == 0; ++dz) {
                            borderline.push_back({sx * dx, sy * dy, dz});
                            if (dz != 0) {
                                borderline.push_back({sx * dx, sy * dy, -dz});
                            }
                        }
                    }
                }
                widest = std::max(widest, h);
            }
        }
    }

    int at(int dx, int dy) const {
        if (dx < -reach[0] || dx > reach[0] || dy < -reach[1] || dy > reach[1]) {
            return -1;
        }
        return half[static_cast<std::size_t>((dx + reach[0]) * (2 * reach[1] + 1) + dy + reach[1])];
    }
};

// Indices 0..n-1 ordered by three byte digits, most significant first; stable.
template <class Digit>
std::vector<std::uint32_t> order_by_digits(std::size_t n, Digit&& digit) {
    std::vector<std::uint32_t> order(n);
    std::vector<std::uint32_t> scratch(n);
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    for (int d = 2; d >= 0; --d) {
        std::size_t start[257] = {};
        for (const std::uint32_t i : order) {
            ++start[digit(i, d) + 1];
        }
        std::partial_sum(start, start + 257, start);
        for (const std::uint32_t i : order) {
            scratch[start[digit(i, d)]++] = i;
        }
        order.swap(scratch);
    }
    return order;
}

// Lattice rows along z of the colours' weights, as running sums padded so that any interval
// of half-width up to `pad` around any z is two reads: the weight of z - h ..= z + h is
// row[z + h + 1 + pad] - row[z - h + pad]. Only occupied rows are stored.
class weight_rows {
public:
    weight_rows(const std::vector<colour>& values, const std::vector<std::int64_t>& counts,
                const std::vector<std::uint32_t>& by_key, const axes& ax, int pad)
        : pad_(pad), length_(static_cast<std::size_t>(257 + 2 * pad)), first_(65537, 0) {
        for (const std::uint32_t i : by_key) {
            ++first_[row_of(values[i], ax) + 1];
        }
        std::partial_sum(first_.begin(), first_.end(), first_.begin());
        slot_.assign(65536, -1);
        std::int32_t rows = 0;
        for (std::size_t r = 0; r < 65536; ++r) {
            if (first_[r + 1] > first_[r]) {
                slot_[r] = rows++;
            }
        }
        sums_.assign(static_cast<std::size_t>(rows) * length_, 0);
        for (std::size_t r = 0; r < 65536; ++r) {
            if (slot_[r] < 0) {
                continue;
            }
            std::int32_t* row = sums_.data() + static_cast<std::size_t>(slot_[r]) * length_;
            for (std::uint32_t k = first_[r]; k < first_[r + 1]; ++k) {
                const std::uint32_t i = by_key[k];
                row[static_cast<std::size_t>(ax.of(values[i], 2) + 1 + pad)] =
                    static_cast<std::int32_t>(counts[i]);
            }
            std::partial_sum(row, row + length_, row);
        }
    }

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

// acc[z] += weight of the row's interval around z, for z in lo ..= hi. The one hot loop.
HUESIFT_WIDE_VECTORS
void add_interval_weights(std::int32_t* __restrict acc, const std::int32_t* __restrict above,
                          const std::int32_t* __restrict below, int lo, int hi) {
    for (int z = lo; z <= hi; ++z) {
        acc[z] += above[z] - below[z];
    }
}

// The neighbourhood weight of each colour whose state is `unknown`. Centre rows are taken in
// 16 x 16 tiles; each source row near a tile is read once and added, shifted by its
// half-width, to every centre row whose ball crosses it, so the cost is one vector add per
// (centre row, ball row) pair. A centre row with few colours over a wide span is summed at
// its colours only.
std::vector<std::int64_t> neighbourhood_weights(const std::vector<colour>& values,
                                                const std::vector<std::uint32_t>& by_key,
                                                const std::vector<std::uint8_t>& state,
                                                const weight_rows& rows, const ball_shape& ball,
                                                const axes& ax, unsigned threads) {
    constexpr int tile = 16;
    std::vector<std::int64_t> weight(values.size(), 0);
    bool wanted[256] = {};
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (state[i] == unknown) {
            wanted[(ax.of(values[i], 0) / tile) << 4 | ax.of(values[i], 1) / tile] = true;
        }
    }
    std::vector<std::uint32_t> busy;
    for (std::uint32_t t = 0; t < 256; ++t) {
        if (wanted[t]) {
            busy.push_back(t);
        }
    }
    const unsigned workers = workers_for(busy.size(), threads);
    std::vector<std::int32_t> scratch(static_cast<std::size_t>(workers) * tile * tile * 256);
    const int pad = rows.pad();
    struct centre {
        int x, y, lo, hi;
        std::int32_t* acc;
        std::size_t sparse_at, sparse_end;  // into the task's z list; equal for the whole span
    };
    parallel_for(busy.size(), workers, [&](std::size_t task, unsigned worker) {
        const int x0 = static_cast<int>(busy[task] >> 4) * tile;
        const int y0 = static_cast<int>(busy[task] & 15) * tile;
        std::int32_t* acc = scratch.data() + static_cast<std::size_t>(worker) * tile * tile * 256;
        std::vector<centre> centres;
        std::vector<int> zs;
        for (int x = x0; x < x0 + tile; ++x) {
            for (int y = y0; y < y0 + tile; ++y) {
                const std::size_t r = static_cast<std::size_t>(x << 8 | y);
                const std::size_t at = zs.size();
                for (std::uint32_t k = rows.begin(r); k < rows.end(r); ++k) {
                    if (state[by_key[k]] == unknown) {
                        zs.push_back(ax.of(values[by_key[k]], 2));
                    }
                }
                if (zs.size() == at) {
                    continue;
                }
                const int lo = zs[at];
                const int hi = zs.back();
                std::int32_t* a = acc + static_cast<std::size_t>(centres.size()) * 256;
                std::fill(a + lo, a + hi + 1, 0);
                const bool sparse = 8 * (zs.size() - at) < static_cast<std::size_t>(hi - lo + 1);
                centres.push_back({x, y, lo, hi, a, at, sparse ? zs.size() : at});
            }
        }
        const int sx_end = std::min(255, x0 + tile - 1 + ball.reach[0]);
        const int sy_end = std::min(255, y0 + tile - 1 + ball.reach[1]);
        for (int sx = std::max(0, x0 - ball.reach[0]); sx <= sx_end; ++sx) {
            for (int sy = std::max(0, y0 - ball.reach[1]); sy <= sy_end; ++sy) {
                const std::int32_t* source = rows.row(sx, sy);
                if (source == nullptr) {
                    continue;
                }
                for (const centre& c : centres) {
                    const int h = ball.at(sx - c.x, sy - c.y);
                    if (h < 0) {
                        continue;
                    }
                    const std::int32_t* above = source + h + 1 + pad;
                    const std::int32_t* below = source + pad - h;
                    if (c.sparse_at == c.sparse_end) {
                        add_interval_weights(c.acc, above, below, c.lo, c.hi);
                        continue;
                    }
                    for (std::size_t k = c.sparse_at; k < c.sparse_end; ++k) {
                        c.acc[zs[k]] += above[zs[k]] - below[zs[k]];
                    }
                }
            }
        }
        for (const centre& c : centres) {
            const std::size_t r = static_cast<std::size_t>(c.x << 8 | c.y);
            for (std::uint32_t k = rows.begin(r); k < rows.end(r); ++k) {
                const std::uint32_t i = by_key[k];
                if (state[i] == unknown) {
                    weight[i] = c.acc[ax.of(values[i], 2)];
                }
            }
        }
    });
    return weight;
}

// Box bounds on the neighbourhood weight, from running sums over cells of 4 x 4 x 4 lattice
// values: the cells inside a cube within the ball weigh no more than the ball, and the cells
// meeting the box around it no less. Colours the bounds settle need no count.
void settle_by_boxes(const std::vector<colour>& values, const std::vector<std::int64_t>& counts,
                     const axes& ax, const metric& m, const ball_shape& ball,
                     std::int64_t min_samples, std::vector<std::uint8_t>& state, unsigned threads) {
    constexpr int side = 4;
    constexpr int across = 256 / side + 1;
    std::vector<std::int32_t> sums(static_cast<std::size_t>(across) * across * across, 0);
    auto at = [&](int i, int j, int k) -> std::int32_t& {
        return sums[(static_cast<std::size_t>(i) * across + static_cast<std::size_t>(j)) * across +
                    static_cast<std::size_t>(k)];
    };
    for (std::size_t i = 0; i < values.size(); ++i) {
        at(ax.of(values[i], 0) / side + 1, ax.of(values[i], 1) / side + 1,
           ax.of(values[i], 2) / side + 1) += static_cast<std::int32_t>(counts[i]);
    }
    for (int i = 1; i < across; ++i) {
        for (int j = 1; j < across; ++j) {
            for (int k = 1; k < across; ++k) {
                at(i, j, k) += at(i - 1, j, k) + at(i, j - 1, k) + at(i, j, k - 1) -
                               at(i - 1, j - 1, k) - at(i - 1, j, k - 1) - at(i, j - 1, k - 1) +
                               at(i - 1, j - 1, k - 1);
            }
        }
    }
    // Cells lo ..= hi along each axis.
    auto weigh = [&](const int lo[3], const int hi[3]) -> std::int64_t {
        if (lo[0] > hi[0] || lo[1] > hi[1] || lo[2] > hi[2]) {
            return 0;
        }
        const int a0 = lo[0], b0 = lo[1], c0 = lo[2], a1 = hi[0] + 1, b1 = hi[1] + 1,
                  c1 = hi[2] + 1;
        return std::int64_t{at(a1, b1, c1)} - at(a0, b1, c1) - at(a1, b0, c1) - at(a1, b1, c0) +
               at(a0, b0, c1) + at(a0, b1, c0) + at(a1, b0, c0) - at(a0, b0, c0);
    };
    int cube[3];
    for (int a = 0; a < 3; ++a) {
        cube[a] = static_cast<int>(ball.reach[a] / std::sqrt(3.0));
    }
    while (m.classify(ax.in_channels(cube[0], cube[1], cube[2])) <= 0) {
        int widest = 0;
        for (int a = 1; a < 3; ++a) {
            if (cube[a] * (ball.reach[widest] + 1) > cube[widest] * (ball.reach[a] + 1)) {
                widest = a;
            }
        }
        --cube[widest];
    }
    parallel_for(values.size() / 4096 + 1, workers_for(values.size() / 4096 + 1, threads),
                 [&](std::size_t task, unsigned) {
                     const std::size_t end = std::min(values.size(), (task + 1) * 4096);
                     for (std::size_t i = task * 4096; i < end; ++i) {
                         int inner_lo[3], inner_hi[3], outer_lo[3], outer_hi[3];
                         for (int a = 0; a < 3; ++a) {
                             const int v = ax.of(values[i], a);
                             inner_lo[a] = (std::max(0, v - cube[a]) + side - 1) / side;
                             inner_hi[a] = (std::min(255, v + cube[a]) + 1) / side - 1;
                             outer_lo[a] = std::max(0, v - ball.reach[a]) / side;
                             outer_hi[a] = std::min(255, v + ball.reach[a]) / side;
                         }
                         if (weigh(inner_lo, inner_hi) >= min_samples) {
                             state[i] = core_colour;
                         } else if (weigh(outer_lo, outer_hi) < min_samples) {
                             state[i] = not_core;
                         }
                     }
                 });
}

// For the colours still unknown, the colours in the offsets rounding decides, tested one by
// one.
void add_borderline(const std::vector<colour>& values, const std::vector<std::uint8_t>& state,
                    const weight_rows& rows, const ball_shape& ball, const axes& ax,
                    const metric& m, std::vector<std::int64_t>& weight, unsigned threads) {
    if (ball.borderline.empty()) {
        return;
    }
    const int pad = rows.pad();
    parallel_for(values.size(), workers_for(values.size(), threads), [&](std::size_t i, unsigned) {
        if (state[i] != unknown) {
            return;
        }
        const colour& p = values[i];
        for (const offset& o : ball.borderline) {
            const int x = ax.of(p, 0) + o[0];
            const int y = ax.of(p, 1) + o[1];
            const int z = ax.of(p, 2) + o[2];
            if (x < 0 || x > 255 || y < 0 || y > 255 || z < 0 || z > 255) {
                continue;
            }
            const std::int32_t* source = rows.row(x, y);
            if (source == nullptr) {
                continue;
            }
            const std::int32_t w = source[z + 1 + pad] - source[z + pad];
            colour q{};
            q[static_cast<std::size_t>(ax.channel[0])] = static_cast<std::uint8_t>(x);
            q[static_cast<std::size_t>(ax.channel[1])] = static_cast<std::uint8_t>(y);
            q[static_cast<std::size_t>(ax.channel[2])] = static_cast<std::uint8_t>(z);
            if (w > 0 && m.within(p.data(), q.data())) {
                weight[i] += w;
            }
        }
    });
}

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
              const axes& ax, const metric& m, const ball_shape& ball)
        : ax_(ax) {
        // As wide as a third of the ball along each axis, then narrowed until the cell's
        // own diagonal surely passes.
        for (int a = 0; a < 3; ++a) {
            side_[a] = std::max(1, static_cast<int>((ball.reach[a] + 1) / 1.75));
        }
        while (m.classify(ax.in_channels(side_[0] - 1, side_[1] - 1, side_[2] - 1)) <= 0) {
            int widest = 0;  // of the sides above 1, as they all are when the loop goes on
            for (int a = 1; a < 3; ++a) {
                if ((side_[a] - 1) * (ball.reach[widest] + 1) >
                    (side_[widest] - 1) * (ball.reach[a] + 1)) {
                    widest = a;
                }
            }
            --side_[widest];
        }
        members_ = order_by_digits(values.size(), [&](std::uint32_t i, int d) {
            return static_cast<std::size_t>(ax.of(values[i], d) / side_[d]);
        });
        cell_of_.resize(values.size());
        for (std::uint32_t k = 0; k < members_.size(); ++k) {
            const std::uint32_t i = members_[k];
            const std::uint32_t key = key_of(values[i]);
            if (cells_.empty() || cells_.back().key != key) {
                cells_.push_back({key, 0, 0, k, k});
            }
            ++cells_.back().end;
            cell_of_[i] = static_cast<std::uint32_t>(cells_.size() - 1);
        }
        for (cell& c : cells_) {
            c.core_begin = static_cast<std::uint32_t>(cores_.size());
            for (std::uint32_t k = c.begin; k < c.end; ++k) {
                if (core[members_[k]]) {
                    cores_.push_back(members_[k]);
                }
            }
            c.core_end = static_cast<std::uint32_t>(cores_.size());
        }
        const int cells_across[3] = {255 / side_[0] + 1, 255 / side_[1] + 1, 255 / side_[2] + 1};
        int span[3];
        for (int a = 0; a < 3; ++a) {
            span[a] = std::min(cells_across[a] - 1, ball.reach[a] / side_[a] + 1);
        }
        for (int i = -span[0]; i <= span[0]; ++i) {
            for (int j = -span[1]; j <= span[1]; ++j) {
                for (int k = -span[2]; k <= span[2]; ++k) {
                    if (m.classify(ax.in_channels(gap(i, 0), gap(j, 1), gap(k, 2))) >= 0) {
                        near_.push_back({i, j, k});
                    }
                }
            }
        }
    }

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

bool later(const offset& o) {
    return o[0] > 0 || (o[0] == 0 && (o[1] > 0 || (o[1] == 0 && o[2] > 0)));
}

// Core colours within eps are connected; those of one cell already are, so cells are joined
// through one witness pair per pair of neighbouring cells not yet in one set.
union_find join_cells(const std::vector<colour>& values, const cell_grid& grid, const axes& ax,
                      const metric& m) {
    const auto& cells = grid.cells();
    const auto& cores = grid.cores();
    union_find sets(cells.size());
    for (std::size_t a = 0; a < cells.size(); ++a) {
        const auto& ca = cells[a];
        if (ca.core_begin == ca.core_end) {
            continue;
        }
        for (const offset& o : grid.near()) {
            if (!later(o)) {
                continue;
            }
            const std::int64_t b = grid.neighbour(ca, o);
            if (b < 0 ||
                cells[static_cast<std::size_t>(b)].core_begin ==
                    cells[static_cast<std::size_t>(b)].core_end ||
                sets.find(static_cast<std::uint32_t>(a)) ==
                    sets.find(static_cast<std::uint32_t>(b))) {
                continue;
            }
            const auto& cb = cells[static_cast<std::size_t>(b)];
            bool joined = false;
            for (std::uint32_t k = ca.core_begin; k < ca.core_end && !joined; ++k) {
                const colour& p = values[cores[k]];
                int nearest[3];
                int furthest[3];
                grid.steps(p, cb, nearest, furthest);
                const int cls = m.classify(ax.in_channels(nearest[0], nearest[1], nearest[2]));
                if (cls < 0) {
                    continue;
                }
                if (m.classify(ax.in_channels(furthest[0], furthest[1], furthest[2])) > 0) {
                    joined = true;
                    break;
                }
                for (std::uint32_t j = cb.core_begin; j < cb.core_end; ++j) {
                    if (m.within(p.data(), values[cores[j]].data())) {
                        joined = true;
                        break;
                    }
                }
            }
            if (joined) {
                sets.unite(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
            }
        }
    }
    return sets;
}

}  // namespace

// The mean is an exact whole sum over n. The variance is the corrected two-pass formula of
// scikit-learn's _incremental_mean_and_var, whose two sums NumPy runs in row order over a
// C-ordered float64 copy; a variance within its rounding bound of zero gives scale 1.
void fit_standard_scaler(const preparation::byte_rows& rows, double mean[3], double scale[3]) {
    auto channel = [&](std::ptrdiff_t i, int c) {
        return rows.data[i * rows.row_stride + c * rows.channel_stride];
    };
    std::int64_t sums[3] = {0, 0, 0};
    for (std::ptrdiff_t i = 0; i < rows.rows; ++i) {
        for (int c = 0; c < 3; ++c) {
            sums[c] += channel(i, c);
        }
    }
    const auto n = static_cast<double>(rows.rows);
    double centred[3][256];
    double square[3][256];
    for (int c = 0; c < 3; ++c) {
        mean[c] = static_cast<double>(sums[c]) / n;
        for (int v = 0; v < 256; ++v) {
            centred[c][v] = static_cast<double>(v) - mean[c];
            square[c][v] = centred[c][v] * centred[c][v];
        }
    }
    double correction[3] = {0.0, 0.0, 0.0};
    double spread[3] = {0.0, 0.0, 0.0};
    for (std::ptrdiff_t i = 0; i < rows.rows; ++i) {
        for (int c = 0; c < 3; ++c) {
            correction[c] += centred[c][channel(i, c)];
            spread[c] += square[c][channel(i, c)];
        }
    }
    const double eps = std::numeric_limits<double>::epsilon();
    for (int c = 0; c < 3; ++c) {
        const double var = (spread[c] - correction[c] * correction[c] / n) / n;
        const double drift = n * mean[c] * eps;
        scale[c] = var <= n * eps * var + drift * drift ? 1.0 : std::sqrt(var);
    }
}

dbscan_result dbscan_lattice(const dbscan_input& in) {
    dbscan_result out;
    out.colours = preparation::find_distinct_rows(in.rows);
    const auto& values = out.colours.values;
    const auto& counts = out.colours.counts;
    const std::size_t u = values.size();
    const metric m(in);
    const axes ax(in.scale);
    const ball_shape ball(m, ax);

    // Weighted neighbourhood sizes.
    const std::vector<std::uint32_t> by_key = order_by_digits(
        u, [&](std::uint32_t i, int d) { return static_cast<std::size_t>(ax.of(values[i], d)); });
    std::vector<std::uint8_t> core(u, unknown);
    if (u >= 4096) {
        settle_by_boxes(values, counts, ax, m, ball, in.min_samples, core, in.threads);
    }
    {
        const weight_rows rows(values, counts, by_key, ax, ball.widest + 1);
        std::vector<std::int64_t> weight =
            neighbourhood_weights(values, by_key, core, rows, ball, ax, in.threads);
        add_borderline(values, core, rows, ball, ax, m, weight, in.threads);
        for (std::size_t i = 0; i < u; ++i) {
            if (core[i] == unknown) {
                core[i] = weight[i] >= in.min_samples ? core_colour : not_core;
            }
        }
    }
    const cell_grid grid(values, core, ax, m, ball);
    union_find sets = join_cells(values, grid, ax, m);
    const auto& cells = grid.cells();
    const auto& cores = grid.cores();

    // Clusters are numbered in the order of their first core pixel.
    std::vector<std::int64_t> cluster_of_set(cells.size(), -1);
    std::vector<std::int64_t> cell_label(cells.size(), -1);
    out.label.assign(u, -1);
    std::int64_t clusters = 0;
    for (std::size_t i = 0; i < u; ++i) {
        if (core[i]) {
            const std::uint32_t c = grid.cell_of(static_cast<std::uint32_t>(i));
            const std::uint32_t root = sets.find(c);
            if (cluster_of_set[root] < 0) {
                cluster_of_set[root] = clusters++;
            }
            cell_label[c] = out.label[i] = cluster_of_set[root];
        }
    }

    // A border colour joins the earliest-numbered cluster with a core colour within eps,
    // as the cluster expanded first claims it.
    parallel_for(
        cells.size(), workers_for(cells.size() / 16, in.threads), [&](std::size_t a, unsigned) {
            const auto& ca = cells[a];
            if (ca.end - ca.begin == ca.core_end - ca.core_begin) {
                return;
            }
            std::vector<std::pair<std::int64_t, std::uint32_t>> candidates;
            for (const offset& o : grid.near()) {
                const std::int64_t b = grid.neighbour(ca, o);
                if (b >= 0 && cell_label[static_cast<std::size_t>(b)] >= 0) {
                    candidates.emplace_back(cell_label[static_cast<std::size_t>(b)],
                                            static_cast<std::uint32_t>(b));
                }
            }
            std::sort(candidates.begin(), candidates.end());
            for (std::uint32_t k = ca.begin; k < ca.end; ++k) {
                const std::uint32_t i = grid.members()[k];
                if (core[i]) {
                    continue;
                }
                const colour& p = values[i];
                for (const auto& [label, b] : candidates) {
                    const auto& cb = cells[b];
                    int nearest[3];
                    int furthest[3];
                    grid.steps(p, cb, nearest, furthest);
                    if (m.classify(ax.in_channels(nearest[0], nearest[1], nearest[2])) < 0) {
                        continue;
                    }
                    bool found =
                        m.classify(ax.in_channels(furthest[0], furthest[1], furthest[2])) > 0;
                    for (std::uint32_t j = cb.core_begin; j < cb.core_end && !found; ++j) {
                        found = m.within(p.data(), values[cores[j]].data());
                    }
                    if (found) {
                        out.label[i] = label;
                        break;
                    }
                }
            }
        });

    out.sizes.assign(static_cast<std::size_t>(clusters), 0);
    out.sums.assign(static_cast<std::size_t>(clusters) * 3, 0);
    for (std::size_t i = 0; i < u; ++i) {
        const std::int64_t l = out.label[i];
        if (l >= 0) {
            const auto c = static_cast<std::size_t>(l);
            out.sizes[c] += counts[i];
            for (std::size_t ch = 0; ch < 3; ++ch) {
                out.sums[3 * c + ch] += counts[i] * values[i][ch];
            }
        }
    }
    return out;
}

void write_row_labels(const dbscan_result& found, const std::vector<std::int64_t>& rank,
                      std::intptr_t* out) {
    const std::uint32_t* index = found.colours.index;
    for (std::size_t i = 0; i < found.colours.rows; ++i) {
        const std::int64_t l = found.label[index[i]];
        out[i] = static_cast<std::intptr_t>(
            l < 0 || rank.empty() ? l : rank[static_cast<std::size_t>(l)]);
    }
}

}  // namespace huesift::clustering
