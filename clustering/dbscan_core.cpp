#include "dbscan_core.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>

namespace huesift::clustering {

namespace {

constexpr std::size_t lattice_size = std::size_t{1} << 24;

// The neighbourhood test of a KD-tree radius query on standardised rows: the squared
// differences summed in channel order, compared with eps squared.
class ball {
public:
    ball(const dbscan_input& in) : limit_(in.eps * in.eps) {
        for (int c = 0; c < 3; ++c) {
            for (int v = 0; v < 256; ++v) {
                t_[c][v] = (static_cast<double>(v) - in.mean[c]) / in.scale[c];
            }
        }
        // Rows run along the channel with the widest ball, so the fewest rows are visited.
        int z = 0;
        for (int c = 1; c < 3; ++c) {
            if (in.scale[c] > in.scale[z]) {
                z = c;
            }
        }
        axis_[2] = z;
        axis_[0] = z == 0 ? 1 : 0;
        axis_[1] = z == 2 ? 1 : 2;
        z_scale_ = in.scale[z];
    }

    // Lattice key in the permuted axis order: rows are contiguous along the last axis.
    std::uint32_t key(const std::uint8_t q[3]) const {
        return (std::uint32_t{q[axis_[0]]} << 16) | (std::uint32_t{q[axis_[1]]} << 8) |
               q[axis_[2]];
    }

    // Calls row(row_base, lo, hi) for every lattice row meeting the ball around p; lo..hi are
    // the last-axis values inside it. Moving away from p never widens a row's interval, so
    // each row starts from its nearer neighbour's bounds.
    template <class Row>
    void for_each_row(const std::uint8_t p[3], Row&& row) const {
        std::uint8_t q[3] = {p[0], p[1], p[2]};
        const int ax = axis_[0];
        const int ay = axis_[1];
        int centre_lo = 0;
        int centre_hi = 0;
        estimate(p, q, dist(p, q), centre_lo, centre_hi);
        for (int dir = 1; dir >= -1; dir -= 2) {
            int x_lo = centre_lo;
            int x_hi = centre_hi;
            for (int x = dir > 0 ? p[ax] : p[ax] - 1; x >= 0 && x <= 255; x += dir) {
                q[ax] = static_cast<std::uint8_t>(x);
                q[ay] = p[ay];
                if (!inside(p, q)) {
                    break;
                }
                shrink(p, q, x_lo, x_hi);
                const std::uint32_t plane = static_cast<std::uint32_t>(x) << 16;
                row(plane | (std::uint32_t{p[ay]} << 8), x_lo, x_hi);
                for (int ydir = 1; ydir >= -1; ydir -= 2) {
                    int lo = x_lo;
                    int hi = x_hi;
                    for (int y = p[ay] + ydir; y >= 0 && y <= 255; y += ydir) {
                        q[ay] = static_cast<std::uint8_t>(y);
                        if (!inside(p, q)) {
                            break;
                        }
                        shrink(p, q, lo, hi);
                        row(plane | (static_cast<std::uint32_t>(y) << 8), lo, hi);
                    }
                }
            }
        }
    }

    std::uint8_t z_of(const std::uint8_t p[3]) const { return p[axis_[2]]; }

private:
    double dist(const std::uint8_t p[3], const std::uint8_t q[3]) const {
        double d = 0.0;
        for (int c = 0; c < 3; ++c) {
            const double tmp = t_[c][p[c]] - t_[c][q[c]];
            d += tmp * tmp;
        }
        return d;
    }

    bool inside(const std::uint8_t p[3], const std::uint8_t q[3]) const {
        return dist(p, q) <= limit_;
    }

    // The test grows monotonically with the distance along the row, so the inside values
    // form one interval around p's own; an estimate is corrected by the exact test.
    // q[z] equals p[z] on entry and on return.
    void estimate(const std::uint8_t p[3], std::uint8_t q[3], double partial, int& lo,
                  int& hi) const {
        const int pz = p[axis_[2]];
        const double room = limit_ - partial;
        // Clamped in floating point: the reach never leaves the lattice, whatever the scale.
        const double span = std::sqrt(room > 0 ? room : 0.0) * z_scale_;
        const int reach = span >= 255.0 ? 255 : span > 0.0 ? static_cast<int>(span) : 0;
        hi = std::min(255, pz + reach);
        while (hi < 255 && test(p, q, hi + 1)) {
            ++hi;
        }
        lo = std::max(0, pz - reach);
        while (lo > 0 && test(p, q, lo - 1)) {
            --lo;
        }
        shrink(p, q, lo, hi);
    }

    // Narrows lo..hi, a superset of q's row interval, to the interval itself.
    void shrink(const std::uint8_t p[3], std::uint8_t q[3], int& lo, int& hi) const {
        const int pz = p[axis_[2]];
        while (hi > pz && !test(p, q, hi)) {
            --hi;
        }
        while (lo < pz && !test(p, q, lo)) {
            ++lo;
        }
        q[axis_[2]] = static_cast<std::uint8_t>(pz);
    }

    bool test(const std::uint8_t p[3], std::uint8_t q[3], int z) const {
        q[axis_[2]] = static_cast<std::uint8_t>(z);
        return inside(p, q);
    }

    double t_[3][256];
    double limit_;
    double z_scale_ = 1.0;
    int axis_[3] = {0, 1, 2};
};

// One bit per lattice value along each row: which colours are core colours.
class core_bits {
public:
    core_bits() : words_(lattice_size / 64, 0) {}

    void set(std::uint32_t key) { words_[key >> 6] |= std::uint64_t{1} << (key & 63); }

    // Highest set position in [lo, hi] of the row, or -1.
    int last_in(std::uint32_t row, int lo, int hi) const {
        for (int w = hi >> 6; w >= (lo >> 6); --w) {
            std::uint64_t bits = words_[(row >> 6) + w] & range_mask(w, lo, hi);
            if (bits) {
                return w * 64 + 63 - std::countl_zero(bits);
            }
        }
        return -1;
    }

    // Lowest set position in [lo, hi] of the row, or -1.
    int first_in(std::uint32_t row, int lo, int hi) const {
        for (int w = lo >> 6; w <= (hi >> 6); ++w) {
            std::uint64_t bits = words_[(row >> 6) + w] & range_mask(w, lo, hi);
            if (bits) {
                return w * 64 + std::countr_zero(bits);
            }
        }
        return -1;
    }

    template <class Visit>
    void for_each_in(std::uint32_t row, int lo, int hi, Visit&& visit) const {
        for (int w = lo >> 6; w <= (hi >> 6); ++w) {
            std::uint64_t bits = words_[(row >> 6) + w] & range_mask(w, lo, hi);
            while (bits) {
                if (!visit(w * 64 + std::countr_zero(bits))) {
                    return;
                }
                bits &= bits - 1;
            }
        }
    }

private:
    static std::uint64_t range_mask(int w, int lo, int hi) {
        const int a = std::max(lo - w * 64, 0);
        const int b = std::min(hi - w * 64, 63);
        if (a > b) {
            return 0;
        }
        const std::uint64_t upper = b == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (b + 1)) - 1;
        return upper & ~((std::uint64_t{1} << a) - 1);
    }

    std::vector<std::uint64_t> words_;
};

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

}  // namespace

dbscan_result dbscan_lattice(const dbscan_input& in) {
    const ball b(in);
    auto row_of = [&](std::ptrdiff_t i, std::uint8_t px[3]) {
        const std::uint8_t* src = in.data + i * in.row_stride;
        px[0] = src[0];
        px[1] = src[in.channel_stride];
        px[2] = src[2 * in.channel_stride];
    };

    // Distinct colours, numbered by first occurrence, with their pixel counts.
    std::vector<std::int32_t> slot(lattice_size, -1);
    std::vector<std::uint32_t> keys;
    std::vector<std::array<std::uint8_t, 3>> colours;
    std::vector<std::int64_t> counts;
    for (std::ptrdiff_t i = 0; i < in.rows; ++i) {
        std::uint8_t px[3];
        row_of(i, px);
        const std::uint32_t k = b.key(px);
        if (slot[k] < 0) {
            slot[k] = static_cast<std::int32_t>(keys.size());
            keys.push_back(k);
            colours.push_back({px[0], px[1], px[2]});
            counts.push_back(0);
        }
        ++counts[static_cast<std::size_t>(slot[k])];
    }
    const std::size_t u = keys.size();

    // Weighted neighbourhood sizes through prefix sums along each lattice row.
    std::vector<std::int64_t> prefix(lattice_size, 0);
    for (std::size_t i = 0; i < u; ++i) {
        prefix[keys[i]] = counts[i];
    }
    for (std::size_t row = 0; row < lattice_size; row += 256) {
        for (std::size_t z = 1; z < 256; ++z) {
            prefix[row + z] += prefix[row + z - 1];
        }
    }
    // The ball passes visit colours in lattice order, so neighbouring balls share the cache.
    std::vector<std::uint32_t> by_lattice;
    by_lattice.reserve(u);
    for (std::size_t k = 0; k < lattice_size; ++k) {
        if (slot[k] >= 0) {
            by_lattice.push_back(static_cast<std::uint32_t>(slot[k]));
        }
    }
    std::vector<std::uint8_t> core(u, 0);
    core_bits bits;
    for (const std::uint32_t i : by_lattice) {
        std::int64_t weight = 0;
        b.for_each_row(colours[i].data(), [&](std::uint32_t row, int lo, int hi) {
            weight += prefix[row + hi] - (lo > 0 ? prefix[row + lo - 1] : 0);
        });
        if (weight >= in.min_samples) {
            core[i] = 1;
            bits.set(keys[i]);
        }
    }
    prefix = {};

    // Core colours within eps are connected. Joining each core colour to the nearest core
    // colour on either side of it in every row of its ball gives the same components: any
    // other core colour of that row is reached through the chain of its nearer neighbours.
    union_find sets(u);
    for (const std::uint32_t i : by_lattice) {
        if (!core[i]) {
            continue;
        }
        const std::uint8_t* p = colours[i].data();
        const int pz = b.z_of(p);
        const std::uint32_t own_row = keys[i] & ~std::uint32_t{255};
        b.for_each_row(p, [&](std::uint32_t row, int lo, int hi) {
            const bool own = row == own_row;
            const int below = own ? (pz > lo ? bits.last_in(row, lo, pz - 1) : -1)
                                  : bits.last_in(row, lo, pz);
            const int above = own ? (pz < hi ? bits.first_in(row, pz + 1, hi) : -1)
                                  : bits.first_in(row, pz, hi);
            for (int z : {below, above}) {
                if (z >= 0) {
                    sets.unite(static_cast<std::uint32_t>(i),
                               static_cast<std::uint32_t>(slot[row + static_cast<std::uint32_t>(z)]));
                }
            }
        });
    }

    // Clusters are numbered in the order of their first core pixel.
    constexpr std::int64_t unset = std::numeric_limits<std::int64_t>::max();
    std::vector<std::int64_t> cluster_of_root(u, -1);
    std::vector<std::int64_t> label(u, -1);
    std::int64_t clusters = 0;
    for (std::size_t i = 0; i < u; ++i) {
        if (core[i]) {
            const std::uint32_t root = sets.find(static_cast<std::uint32_t>(i));
            if (cluster_of_root[root] < 0) {
                cluster_of_root[root] = clusters++;
            }
            label[i] = cluster_of_root[root];
        }
    }
    // A border colour joins the earliest-numbered cluster with a core colour within eps,
    // as the cluster expanded first claims it.
    for (const std::uint32_t i : by_lattice) {
        if (core[i]) {
            continue;
        }
        std::int64_t best = unset;
        b.for_each_row(colours[i].data(), [&](std::uint32_t row, int lo, int hi) {
            if (best == 0) {
                return;
            }
            bits.for_each_in(row, lo, hi, [&](int z) {
                const std::int64_t l = label[static_cast<std::size_t>(slot[row + static_cast<std::uint32_t>(z)])];
                best = std::min(best, l);
                return best != 0;
            });
        });
        label[i] = best == unset ? -1 : best;
    }

    dbscan_result out;
    out.labels.resize(static_cast<std::size_t>(in.rows));
    out.sizes.assign(static_cast<std::size_t>(clusters), 0);
    out.sums.assign(static_cast<std::size_t>(clusters) * 3, 0);
    for (std::ptrdiff_t i = 0; i < in.rows; ++i) {
        std::uint8_t px[3];
        row_of(i, px);
        // A colour absent from the first pass means the rows changed meanwhile (another
        // thread wrote to them); it is left as noise rather than read out of bounds.
        const std::int32_t s = slot[b.key(px)];
        const std::int64_t l = s < 0 ? -1 : label[static_cast<std::size_t>(s)];
        out.labels[static_cast<std::size_t>(i)] = l;
        if (l >= 0) {
            const auto c = static_cast<std::size_t>(l);
            ++out.sizes[c];
            out.sums[3 * c] += px[0];
            out.sums[3 * c + 1] += px[1];
            out.sums[3 * c + 2] += px[2];
        }
    }
    return out;
}

}  // namespace huesift::clustering
