// Lloyd's iterations as scikit-learn's _kmeans_single_lloyd takes them, with every decision
// exact, and most distances never computed.
//
// Each colour keeps an upper bound on its distance to its centre and a lower bound on its
// distance to every other (Hamerly's bounds, widened past their rounding). When centres move,
// the bounds move by as much; a colour whose upper bound stays below its lower bound keeps its
// label, which exact arithmetic would give it too. Only the others are measured again.
#include "kmeans_parts.hpp"
#include "parallel.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

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

constexpr std::size_t batch = 256;

// Scratch for the colours measured against every centre, a batch at a time.
struct scan_batch {
    double at[3][batch];
    std::int32_t best[batch];
    double least[batch];
    double next[batch];
    float high[batch];
    float low[batch];
};

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

// Per centre, as floats past their rounding: how much its colours' upper bounds rise and their
// lower bounds drop, and half the distance to the nearest other centre.
struct bound_shift {
    explicit bound_shift(int k)
        : raise(static_cast<std::size_t>(k)),
          drop(static_cast<std::size_t>(k)),
          half(static_cast<std::size_t>(k)) {}
    std::vector<float> raise;
    std::vector<float> drop;
    std::vector<float> half;
};

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

class iterations {
public:
    iterations(const colours& x, seeding&& start)
        : x_(x),
          k_(start.centres.size()),
          centres_(std::move(start.centres)),
          labels_(std::move(start.labels)),
          high_(x.size),
          low_(x.size),
          members_(static_cast<std::size_t>(k_), centre{{0, 0, 0}, 0}),
          squares_(static_cast<std::size_t>(k_), 0),
          move_(static_cast<std::size_t>(k_), 0.0),
          shift_(k_),
          distance_(static_cast<std::size_t>(k_)),
          open_(x.size),
          flag_(x.size) {
        for (std::size_t c = 0; c < x.size; ++c) {
            // Whole numbers: their square roots are off by rounding alone.
            high_[c] = float_above(std::sqrt(static_cast<double>(start.nearest[c])));
            low_[c] = start.next[c] == seeding::far
                          ? std::numeric_limits<float>::infinity()
                          : float_below(std::sqrt(static_cast<double>(start.next[c])));
            join(c, labels_[c], +1);
        }
    }

    // The E-step: each colour to its nearest centre, the first of several equally near.
    // True when a label changed.
    bool assign() {
        // What the others moved at most, seen from each centre.
        std::size_t first = 0;
        for (std::size_t j = 1; j < move_.size(); ++j) {
            first = move_[j] > move_[first] ? j : first;
        }
        double second = 0.0;
        for (std::size_t j = 0; j < move_.size(); ++j) {
            second = j != first ? std::max(second, move_[j]) : second;
        }
        for (std::size_t j = 0; j < move_.size(); ++j) {
            shift_.raise[j] = float_above(move_[j]);
            shift_.drop[j] = float_above(j == first ? second : move_[first]);
        }
        // A colour nearer its centre than half the way to the next centre keeps it whatever
        // its lower bound says.
        for (int a = 0; a < k_; ++a) {
            double closest = infinity;
            for (int j = 0; j < k_; ++j) {
                if (j != a) {
                    double squared = 0.0;
                    for (int ch = 0; ch < 3; ++ch) {
                        const double d = centres_.at(a)[ch] - centres_.at(j)[ch];
                        squared += d * d;
                    }
                    closest = std::min(closest, squared);
                }
            }
            // the coordinates' rounding moves a centre distance by less than 1e-12
            shift_.half[static_cast<std::size_t>(a)] =
                closest == infinity ? std::numeric_limits<float>::infinity()
                                    : float_below(std::max(0.5 * std::sqrt(closest) - 1e-12, 0.0));
        }
        move_bounds(x_.size, labels_.data(), high_.data(), low_.data(), shift_.raise.data(),
                    shift_.drop.data(), shift_.half.data(), flag_.data());
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
            nearest_two(m, scan_.at[0], scan_.at[1], scan_.at[2], centres_.coordinates().data(), k_,
                        scan_.best, scan_.least, scan_.next);
            bounds_of(m, scan_.least, scan_.next, scan_.high, scan_.low);
            for (std::size_t i = 0; i < m; ++i) {
                const std::size_t c = open_[start + i];
                const int a = labels_[c];
                const int b = settle(c, i);
                if (b != a) {
                    join(c, a, -1);
                    join(c, b, +1);
                    labels_[c] = b;
                    changed = true;
                }
            }
        }
        std::fill(move_.begin(), move_.end(), 0.0);
        return changed;
    }

    // The M-step: the centres of the labels (with scikit-learn's relocation of empty clusters
    // and its placing of those left empty), and how far each centre moved. False when a
    // cluster left empty would take an unaveraged sum.
    bool update(centre_set& moved) {
        std::vector<centre> sums = members_;
        std::vector<int> empty;
        for (int j = 0; j < k_; ++j) {
            if (sums[static_cast<std::size_t>(j)].count == 0) {
                empty.push_back(j);
            }
        }
        if (!empty.empty() && !all_on_their_centres()) {
            relocate(empty, sums);
        }
        std::size_t heaviest = 0;
        for (std::size_t j = 1; j < sums.size(); ++j) {
            if (sums[j].count > sums[heaviest].count) {
                heaviest = j;
            }
        }
        for (int j = 0; j < k_; ++j) {
            const centre& s = sums[static_cast<std::size_t>(j)];
            if (s.count > 0) {
                moved.set(j, s);
            } else if (heaviest < static_cast<std::size_t>(j)) {
                moved.set(j, moved.exact(static_cast<int>(heaviest)));
            } else {
                return false;
            }
        }
        return true;
    }

    // Whether the squared shift of the centres, summed, is within the tolerance, and the
    // bounds' allowance for the move. Then `moved` becomes the current centres.
    bool shift_within(const centre_set& moved, double tol) {
        double total = 0.0;
        double error = 0.0;
        for (int j = 0; j < k_; ++j) {
            double squared = 0.0;
            for (int ch = 0; ch < 3; ++ch) {
                const double d = moved.at(j)[ch] - centres_.at(j)[ch];
                squared += d * d;
                // each coordinate is off by at most 2^-53 * 255, the difference by twice that
                error += 2.0 * std::abs(d) * 1e-13 + 1e-26;
            }
            total += squared;
            move_[static_cast<std::size_t>(j)] = std::sqrt(squared) * round_up + 2e-13;
        }
        error += total * (3 * k_ + 2) * 0x1p-52;
        bool within;
        if (total + error < tol) {
            within = true;
        } else if (total - error > tol) {
            within = false;
        } else {
            within = exact_shift(moved) <= exact_tolerance(tol);
        }
        centres_ = moved;
        return within;
    }

    run finish(bool undecided) {
        run out;
        out.undecided = undecided;
        out.labels = std::move(labels_);
        out.centres = std::move(centres_);
        out.members = std::move(members_);
        out.squares = std::move(squares_);
        return out;
    }

private:
    void join(std::size_t c, int j, int sign) {
        centre& m = members_[static_cast<std::size_t>(j)];
        const std::int64_t w = sign * x_.weight[c];
        std::int64_t norm = 0;
        for (int ch = 0; ch < 3; ++ch) {
            const std::int64_t v = x_.channel[ch][c];
            m.sum[ch] += w * v;
            norm += v * v;
        }
        m.count += w;
        squares_[static_cast<std::size_t>(j)] += w * norm;
    }

    // The exact nearest centre of colour c, the i-th of the batch just measured; its bounds are
    // set anew.
    int settle(std::size_t c, std::size_t i) {
        int best = scan_.best[i];
        if (scan_.next[i] - scan_.least[i] > 2 * rounding) {
            high_[c] = scan_.high[i];
            low_[c] = scan_.low[i];
            return best;
        }
        // Within rounding of each other: exact arithmetic orders the close ones.
        for (int j = 0; j < k_; ++j) {
            distance_[static_cast<std::size_t>(j)] = squared_distance(x_, c, centres_.at(j));
        }
        const double close = scan_.least[i] + 2 * rounding;
        for (int j = 0; j < k_; ++j) {
            if (j != best && distance_[static_cast<std::size_t>(j)] <= close &&
                is_nearer(c, j, best)) {
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

    // Centre j before centre `best` for colour c: strictly nearer, or as near with a lower
    // index.
    bool is_nearer(std::size_t c, int j, int best) const {
        const auto order =
            compare_distances(x_.values[c], centres_.exact(j), x_.values[c], centres_.exact(best));
        return order < 0 || (order == 0 && j < best);
    }

    // np.max(distances) == 0: every colour exactly on its centre.
    bool all_on_their_centres() const {
        for (std::size_t c = 0; c < x_.size; ++c) {
            const centre& m = centres_.exact(labels_[c]);
            for (int ch = 0; ch < 3; ++ch) {
                if (m.count * x_.values[c][ch] != m.sum[ch]) {
                    return false;
                }
            }
        }
        return true;
    }

    // _relocate_empty_clusters_dense: each empty cluster takes one of the pixels farthest from
    // their centres, which leaves its cluster. The farthest come first; among pixels equally
    // far, those of the colour that appears first.
    void relocate(const std::vector<int>& empty, std::vector<centre>& sums) const {
        auto farther = [&](std::size_t a, std::size_t b) {
            const double da = squared_distance(x_, a, centres_.at(labels_[a]));
            const double db = squared_distance(x_, b, centres_.at(labels_[b]));
            if (std::abs(da - db) > 2 * rounding) {
                return da > db;
            }
            const auto order = compare_distances(x_.values[a], centres_.exact(labels_[a]),
                                                 x_.values[b], centres_.exact(labels_[b]));
            return order > 0 || (order == 0 && a < b);
        };
        std::vector<std::size_t> order(x_.size);
        std::iota(order.begin(), order.end(), std::size_t{0});
        const std::size_t wanted = std::min(order.size(), empty.size());
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(wanted),
                          order.end(), farther);
        std::size_t colour = 0;
        std::int64_t taken = 0;
        for (int j : empty) {
            while (taken == x_.counts[order[colour]]) {
                ++colour;
                taken = 0;
            }
            ++taken;
            const std::size_t c = order[colour];
            centre& from = sums[static_cast<std::size_t>(labels_[c])];
            for (int ch = 0; ch < 3; ++ch) {
                from.sum[ch] -= x_.values[c][ch];
            }
            --from.count;
            sums[static_cast<std::size_t>(j)] =
                centre{{x_.values[c][0], x_.values[c][1], x_.values[c][2]}, 1};
        }
    }

    exact::ratio_sum exact_shift(const centre_set& moved) const {
        exact::ratio_sum total;
        for (int j = 0; j < k_; ++j) {
            const centre& a = moved.exact(j);
            const centre& b = centres_.exact(j);
            exact::natural numerator;
            for (int ch = 0; ch < 3; ++ch) {
                const exact::i128 d = static_cast<exact::i128>(a.sum[ch]) * b.count -
                                      static_cast<exact::i128>(b.sum[ch]) * a.count;
                const exact::natural m(static_cast<exact::u128>(d < 0 ? -d : d));
                numerator += m * m;
            }
            const exact::natural w(static_cast<exact::u128>(a.count) *
                                   static_cast<exact::u128>(b.count));
            total.add(numerator, w * w);
        }
        return total;
    }

    static exact::ratio_sum exact_tolerance(double tol) {
        exact::ratio_sum t;
        t.add(tol);
        return t;
    }

    const colours& x_;
    int k_;
    centre_set centres_;
    std::vector<std::int32_t> labels_;
    std::vector<float> high_;  // at least the distance to the colour's centre
    std::vector<float> low_;   // at most the distance to any other centre
    std::vector<centre> members_;
    std::vector<std::int64_t> squares_;
    std::vector<double> move_;  // how far each centre moved since the last E-step, at most
    bound_shift shift_;
    std::vector<double> distance_;     // scratch for one colour
    std::vector<std::uint32_t> open_;  // the colours whose bounds need a closer look
    std::vector<std::uint8_t> flag_;
    scan_batch scan_;
};

}  // namespace

run lloyd(const colours& x, seeding&& start, int max_iter, const std::shared_future<double>& tol) {
    const int k = start.centres.size();
    iterations it(x, std::move(start));
    centre_set moved(k);
    bool strict = false;
    // The seeding's labels are the first E-step's: labels_old starts as -1, so the first
    // iteration never converges strictly.
    for (int i = 0; i < max_iter; ++i) {
        const bool changed = i == 0 || it.assign();
        if (!it.update(moved)) {
            return it.finish(true);
        }
        const bool within = it.shift_within(moved, tol.get());
        if (!changed) {
            strict = true;
            break;
        }
        if (within) {
            break;
        }
    }
    if (!strict) {
        it.assign();
    }
    return it.finish(false);
}

}  // namespace huesift::clustering::kmeans
