#include "assignment.hpp"

#include "clustering/parallel.hpp"

#include <algorithm>
#include <limits>

namespace huesift::clustering::kmeans {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Bounds are kept as floats, moved past their rounding: a float is nearest to the double
// within 2^-24 of it, which the factors outweigh.
float float_above(double v) { return static_cast<float>(v * (1.0 + 0x1p-22)); }
float float_below(double v) { return static_cast<float>(v * (1.0 - 0x1p-22)); }

float upper(double squared) { return float_above(std::sqrt(squared + rounding)); }
float lower(double squared) {
    return squared > rounding ? float_below(std::sqrt(squared - rounding)) : 0.0f;
}

// The bounds those two distances give, a vector at a time.
HUESIFT_WIDE_VECTORS
void bounds_of(std::size_t n, const double* __restrict least, const double* __restrict next,
               float* __restrict high, float* __restrict low) {
    for (std::size_t i = 0; i < n; ++i) {
        high[i] = upper(least[i]);
        low[i] = lower(next[i]);  // infinity stays infinity
    }
}

// For each of n colours, the first centre at the least distance by the doubles, that distance
// and the next least (each within `rounding` of the exact one). Centre by centre, so that the
// colours go a vector at a time.
HUESIFT_WIDE_VECTORS
void nearest_two(std::size_t n, const double* __restrict p0, const double* __restrict p1,
                 const double* __restrict p2, const double* __restrict centres, int k,
                 std::int32_t* __restrict best, double* __restrict least, double* __restrict next) {
    constexpr double far = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        best[i] = 0;
        least[i] = far;
        next[i] = far;
    }
    for (int j = 0; j < k; ++j) {
        const double c0 = centres[3 * j], c1 = centres[3 * j + 1], c2 = centres[3 * j + 2];
        for (std::size_t i = 0; i < n; ++i) {
            const double e0 = p0[i] - c0, e1 = p1[i] - c1, e2 = p2[i] - c2;
            const double d = e0 * e0 + e1 * e1 + e2 * e2;
            const double was = least[i];
            const double after = next[i];
            const bool nearer = d < was;
            next[i] = nearer ? was : d < after ? d : after;
            best[i] = nearer ? j : best[i];
            least[i] = nearer ? d : was;
        }
    }
}

// The bounds move with the centres; flags the colours they no longer separate. In floats, each
// result pushed past its two roundings (2^-24 each).
HUESIFT_WIDE_VECTORS
void move_bounds(std::size_t n, const std::int32_t* __restrict labels, float* __restrict high,
                 float* __restrict low, const float* __restrict raise, const float* __restrict drop,
                 const float* __restrict half, std::uint8_t* __restrict open) {
    constexpr float up = 1.0f + 0x1p-22f;
    constexpr float down = 1.0f - 0x1p-22f;
    for (std::size_t c = 0; c < n; ++c) {
        const std::int32_t a = labels[c];
        const float h = (high[c] + raise[a]) * up;
        const float less = low[c] - drop[a];
        const float l = (less > 0.0f ? less : 0.0f) * down;
        high[c] = h;
        low[c] = l;
        const float keep = l > half[a] ? l : half[a];
        open[c] = static_cast<std::uint8_t>(h >= keep);
    }
}

}  // namespace

assignment::assignment(const colours& x, const seeding& start)
    : x_(x),
      k_(start.centres.size()),
      high_(x.size),
      low_(x.size),
      raise_(static_cast<std::size_t>(k_)),
      drop_(static_cast<std::size_t>(k_)),
      half_(static_cast<std::size_t>(k_)),
      distance_(static_cast<std::size_t>(k_)),
      open_(x.size),
      flag_(x.size) {
    for (std::size_t c = 0; c < x.size; ++c) {
        // Whole numbers: their square roots are off by rounding alone.
        high_[c] = float_above(std::sqrt(static_cast<double>(start.nearest[c])));
        low_[c] = start.next[c] == seeding::far
                      ? std::numeric_limits<float>::infinity()
                      : float_below(std::sqrt(static_cast<double>(start.next[c])));
    }
}

bool assignment::assign(const centre_set& centres, const std::vector<double>& moved,
                        std::vector<std::int32_t>& labels, cluster_sums& sums) {
    // What the others moved at most, seen from each centre.
    std::size_t first = 0;
    for (std::size_t j = 1; j < moved.size(); ++j) {
        first = moved[j] > moved[first] ? j : first;
    }
    double second = 0.0;
    for (std::size_t j = 0; j < moved.size(); ++j) {
        second = j != first ? std::max(second, moved[j]) : second;
    }
    for (std::size_t j = 0; j < moved.size(); ++j) {
        raise_[j] = float_above(moved[j]);
        drop_[j] = float_above(j == first ? second : moved[first]);
    }
    // A colour nearer its centre than half the way to the next centre keeps it whatever its
    // lower bound says.
    for (int a = 0; a < k_; ++a) {
        double closest = infinity;
        for (int j = 0; j < k_; ++j) {
            if (j != a) {
                double squared = 0.0;
                for (int ch = 0; ch < 3; ++ch) {
                    const double d = centres.at(a)[ch] - centres.at(j)[ch];
                    squared += d * d;
                }
                closest = std::min(closest, squared);
            }
        }
        // the coordinates' rounding moves a centre distance by less than 1e-12
        half_[static_cast<std::size_t>(a)] =
            closest == infinity ? std::numeric_limits<float>::infinity()
                                : float_below(std::max(0.5 * std::sqrt(closest) - 1e-12, 0.0));
    }
    move_bounds(x_.size, labels.data(), high_.data(), low_.data(), raise_.data(), drop_.data(),
                half_.data(), flag_.data());
    std::size_t open = 0;
    for (std::size_t c = 0; c < x_.size; ++c) {
        open_[open] = static_cast<std::uint32_t>(c);
        open += flag_[c];
    }
    bool changed = false;
    for (std::size_t start = 0; start < open; start += batch) {
        const std::size_t m = std::min(batch, open - start);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t c = open_[start + i];
            for (int ch = 0; ch < 3; ++ch) {
                scan_.at[ch][i] = x_.channel[ch][c];
            }
        }
        nearest_two(m, scan_.at[0], scan_.at[1], scan_.at[2], centres.coordinates().data(), k_,
                    scan_.best, scan_.least, scan_.next);
        bounds_of(m, scan_.least, scan_.next, scan_.high, scan_.low);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t c = open_[start + i];
            const int a = labels[c];
            int b = scan_.best[i];
            if (scan_.next[i] - scan_.least[i] > 2 * rounding) {
                high_[c] = scan_.high[i];
                low_[c] = scan_.low[i];
            } else {
                b = settle(centres, c, i);
            }
            if (b != a) {
                sums.join(x_, c, a, -1);
                sums.join(x_, c, b, +1);
                labels[c] = b;
                changed = true;
            }
        }
    }
    return changed;
}

// The exact nearest centre of colour c, the i-th of the batch just measured, whose two least
// distances lie within rounding of each other: exact arithmetic orders the close ones. Its
// bounds are set anew.
int assignment::settle(const centre_set& centres, std::size_t c, std::size_t i) {
    int best = scan_.best[i];
    for (int j = 0; j < k_; ++j) {
        distance_[static_cast<std::size_t>(j)] = squared_distance(x_, c, centres.at(j));
    }
    const double close = scan_.least[i] + 2 * rounding;
    for (int j = 0; j < k_; ++j) {
        if (j != best && distance_[static_cast<std::size_t>(j)] <= close &&
            is_nearer(centres, c, j, best)) {
            best = j;
        }
    }
    double next = infinity;
    for (int j = 0; j < k_; ++j) {
        if (j != best) {
            next = std::min(next, distance_[static_cast<std::size_t>(j)]);
        }
    }
    high_[c] = upper(distance_[static_cast<std::size_t>(best)]);
    low_[c] = lower(next);
    return best;
}

// Centre j before centre `best` for colour c: strictly nearer, or as near with a lower index.
bool assignment::is_nearer(const centre_set& centres, std::size_t c, int j, int best) const {
    const auto order =
        compare_distances(x_.values[c], centres.exact(j), x_.values[c], centres.exact(best));
    return order < 0 || (order == 0 && j < best);
}

}  // namespace huesift::clustering::kmeans
