// What every step of k-means shares: the colours, the centres in exact and in floating-point
// form, the exact order of two distances, and the sums of the colours each cluster holds.
#pragma once

#include "exact.hpp"
#include "kmeans.hpp"

#include <array>
#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering::kmeans {

using colour = std::array<std::uint8_t, 3>;

// A squared distance from an 8-bit colour to a centre, computed in doubles from the centre's
// correctly rounded coordinates, lies within this of the exact value: the worst case is about
// 1.6e-10 (coordinates off by half a unit in the last place of 255, then three squares and
// two additions, each rounded).
constexpr double rounding = 1e-9;

// Factors that push a rounded non-negative value up or down past its rounding.
constexpr double round_up = 1.0 + 0x1p-50;
constexpr double round_down = 1.0 - 0x1p-50;

// The distinct colours, channel by channel for the distance loops, which read a few bytes a
// colour.
struct colours {
    explicit colours(const kmeans_input& in);

    std::size_t size;
    const colour* values;
    const std::int64_t* counts;
    std::vector<std::uint8_t> channel[3];
    std::vector<std::uint32_t> packed;  // the three channels a byte each: one load a colour
    std::vector<std::int32_t> weight;   // the counts, below 2^31
    std::vector<std::int32_t> norm;     // |v|^2, below 2^18
    double mean[3];  // X.mean(axis=0): whole numbers summed exactly, then divided
};

// A centre as exact arithmetic holds it: the sum of its pixels' values over their number.
struct centre {
    std::int64_t sum[3];
    std::int64_t count;

    bool operator==(const centre&) const = default;
};

// |x - a|^2 against |y - b|^2, exactly: (W_a x - S_a)^2 W_b^2 against (W_b y - S_b)^2 W_a^2.
inline exact::u128 scaled_squared_distance(const colour& x, const centre& c) {
    exact::u128 total = 0;
    for (int ch = 0; ch < 3; ++ch) {
        const std::int64_t d = c.count * x[ch] - c.sum[ch];
        const auto m = static_cast<std::uint64_t>(d < 0 ? -d : d);
        total += static_cast<exact::u128>(m) * m;
    }
    return total;
}

inline std::strong_ordering compare_distances(const colour& x, const centre& a, const colour& y,
                                              const centre& b) {
    const auto wa = static_cast<std::uint64_t>(a.count);
    const auto wb = static_cast<std::uint64_t>(b.count);
    return exact::multiply(scaled_squared_distance(x, a), wb * wb) <=>
           exact::multiply(scaled_squared_distance(y, b), wa * wa);
}

// The centres of one step, exact and as correctly rounded doubles.
class centre_set {
public:
    explicit centre_set(int clusters)
        : exact_(static_cast<std::size_t>(clusters)), at_(3 * static_cast<std::size_t>(clusters)) {}

    void set(int j, const centre& c) {
        exact_[static_cast<std::size_t>(j)] = c;
        for (int ch = 0; ch < 3; ++ch) {
            at_[3 * static_cast<std::size_t>(j) + ch] =
                static_cast<double>(c.sum[ch]) / static_cast<double>(c.count);
        }
    }
    const centre& exact(int j) const { return exact_[static_cast<std::size_t>(j)]; }
    const double* at(int j) const { return &at_[3 * static_cast<std::size_t>(j)]; }
    const std::vector<double>& coordinates() const { return at_; }
    int size() const { return static_cast<int>(exact_.size()); }

private:
    std::vector<centre> exact_;
    std::vector<double> at_;
};

inline double squared_distance(const colours& x, std::size_t i, const double* c) {
    const double d0 = static_cast<double>(x.channel[0][i]) - c[0];
    const double d1 = static_cast<double>(x.channel[1][i]) - c[1];
    const double d2 = static_cast<double>(x.channel[2][i]) - c[2];
    return d0 * d0 + d1 * d1 + d2 * d2;
}

// The labelled colours' sums per cluster: their values and pixel counts, and the sums of their
// squared norms (for the inertia).
struct cluster_sums {
    explicit cluster_sums(int clusters)
        : members(static_cast<std::size_t>(clusters), centre{{0, 0, 0}, 0}),
          squares(static_cast<std::size_t>(clusters), 0) {}

    // Colour c, with all its pixels, joins cluster j (sign +1) or leaves it (-1).
    void join(const colours& x, std::size_t c, int j, int sign) {
        join(x.packed[c], x.weight[c], x.norm[c], j, sign);
    }

    // The same for a colour given by its packed channels and pixel count.
    void join(std::uint32_t packed, std::int64_t weight, int j, int sign) {
        std::int64_t norm = 0;
        for (int ch = 0; ch < 3; ++ch) {
            const std::int64_t v = packed >> (8 * ch) & 0xff;
            norm += v * v;
        }
        join(packed, weight, norm, j, sign);
    }

    // ... and its |v|^2.
    void join(std::uint32_t packed, std::int64_t weight, std::int64_t norm, int j, int sign) {
        centre& m = members[static_cast<std::size_t>(j)];
        const std::int64_t w = sign * weight;
        for (int ch = 0; ch < 3; ++ch) {
            m.sum[ch] += w * (packed >> (8 * ch) & 0xff);
        }
        m.count += w;
        squares[static_cast<std::size_t>(j)] += w * norm;
    }

    // Another set of sums added in: whole numbers, so the order of adding changes nothing.
    void add(const cluster_sums& other) {
        for (std::size_t j = 0; j < members.size(); ++j) {
            for (int ch = 0; ch < 3; ++ch) {
                members[j].sum[ch] += other.members[j].sum[ch];
            }
            members[j].count += other.members[j].count;
            squares[j] += other.squares[j];
        }
    }

    std::vector<centre> members;
    std::vector<std::int64_t> squares;
};

}  // namespace huesift::clustering::kmeans
