// The geometry of DBSCAN's neighbourhood on the 8-bit lattice: the test a KD-tree radius query
// applies to standardised rows, the lattice's axes, and the ball of offsets around a colour.
// No Python, no GIL needed.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

namespace huesift::clustering::dbscan {

using colour = std::array<std::uint8_t, 3>;
using offset = std::array<int, 3>;

// What is known of a colour before its neighbourhood is counted.
enum : std::uint8_t { not_core, core_colour, unknown };

// The neighbourhood test of a KD-tree radius query on standardised rows, and what it gives
// for a whole offset between colours. Coordinates here are in channel order.
class metric {
public:
    // From the fitted scaler's mean_ and scale_, and DBSCAN's eps.
    metric(const double mean[3], const double scale[3], double eps) : limit_(eps * eps) {
        for (int c = 0; c < 3; ++c) {
            for (int v = 0; v < 256; ++v) {
                t_[c][v] = (static_cast<double>(v) - mean[c]) / scale[c];
            }
            scale_[c] = scale[c];
            top_[c] = std::max(std::fabs(mean[c]), std::fabs(255.0 - mean[c])) / scale[c];
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

    ball_shape(const metric& m, const axes& ax);

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

}  // namespace huesift::clustering::dbscan
