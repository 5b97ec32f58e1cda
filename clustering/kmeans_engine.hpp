// The k-means engine, included by the two files that build it: once with fused multiply-adds
// (built for processors that have them) and once without. Everything here has internal
// linkage, so the two builds never mix.
#pragma once

#include "kmeans_core.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace huesift::clustering {

// The fit with one of the two arithmetic builds.
kmeans_result fit_fused(const kmeans_input& in);
kmeans_result fit_plain(const kmeans_input& in);

namespace {

// The expressions below are scikit-learn's, evaluated exactly as written: the file is built
// with -ffp-contract=off, and a fused multiply-add appears only where BLAS uses one.

// NumPy's einsum("ij,ij->i") over three columns, which is how row_norms sums them.
inline double squared_norm(const double* a) { return (a[0] * a[0] + a[2] * a[2]) + a[1] * a[1]; }

// Cython's _euclidean_dense_dense for three features: a plain running sum.
inline double squared_distance(const double* a, const double* b) {
    double result = 0.0;
    for (int c = 0; c < 3; ++c) {
        result += (a[c] - b[c]) * (a[c] - b[c]);
    }
    return result;
}

// A BLAS dot product of three values: one product, then fused steps where the kernel fuses.
template <bool Fused>
[[gnu::always_inline]] inline double blas_dot(const double* a, const double* b) {
    if constexpr (Fused) {
        return __builtin_fma(a[2], b[2], __builtin_fma(a[1], b[1], a[0] * b[0]));
    } else {
        return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2];
    }
}

// NumPy's pairwise summation of a contiguous vector.
double pairwise_sum(const double* a, std::size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            res += a[i];
        }
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) {
            r[j] = a[j];
        }
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) {
                r[j] += a[i + j];
            }
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) {
            res += a[i];
        }
        return res;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

constexpr std::size_t block = 4096;

template <bool Fused>
class engine {
public:
    explicit engine(const kmeans_input& in) : in_(in), u_(in.distinct), k_(in.clusters) {
        centre_data();
        first_draw_chain();
    }

    kmeans_result fit() {
        kmeans_result out;
        const int trials = local_trials(k_);
        std::vector<std::int32_t> best_labels;
        std::vector<double> best_centres;
        double best_inertia = 0.0;
        const double* draws = in_.draws;
        for (int run = 0; run < in_.runs; ++run) {
            std::vector<double> centres = seed(draws);
            draws += 1 + static_cast<std::size_t>(k_ - 1) * static_cast<std::size_t>(trials);
            std::vector<std::int32_t> labels;
            if (!lloyd(centres, labels) || undecided_) {
                out.undecided = true;
                return out;
            }
            const double inertia = inertia_of(centres, labels);
            const bool same = run > 0 && same_clustering(labels, best_labels);
            if (run > 0 && !same && close(inertia, best_inertia, best_inertia)) {
                out.undecided = true;
                return out;
            }
            if (run == 0 || (inertia < best_inertia && !same)) {
                best_labels = std::move(labels);
                best_centres = std::move(centres);
                best_inertia = inertia;
            }
        }
        for (std::size_t j = 0; j < best_centres.size(); ++j) {
            best_centres[j] += mean_[j % 3];
        }
        std::vector<std::uint8_t> used(static_cast<std::size_t>(k_), 0);
        for (std::int32_t l : best_labels) {
            used[static_cast<std::size_t>(l)] = 1;
        }
        out.distinct_clusters = static_cast<int>(std::count(used.begin(), used.end(), 1));
        out.labels = std::move(best_labels);
        out.centres = std::move(best_centres);
        return out;
    }

private:
    // X.mean(axis=0) sums whole numbers, exactly; X -= X_mean; row_norms(X); and the
    // tolerance from np.var over the uncentred rows, whose sum runs in pixel order.
    void centre_data() {
        double sums[3] = {0.0, 0.0, 0.0};
        for (std::size_t c = 0; c < u_; ++c) {
            for (int ch = 0; ch < 3; ++ch) {
                sums[ch] +=
                    static_cast<double>(in_.values[c][ch]) * static_cast<double>(in_.counts[c]);
            }
        }
        const auto n = static_cast<double>(in_.pixels);
        double square[3][256];
        for (int ch = 0; ch < 3; ++ch) {
            mean_[ch] = sums[ch] / n;
            for (int v = 0; v < 256; ++v) {
                const double d = static_cast<double>(v) - mean_[ch];
                square[ch][v] = d * d;
            }
        }
        double spread[3] = {0.0, 0.0, 0.0};
        for (std::size_t i = 0; i < in_.pixels; ++i) {
            const auto& value = in_.values[in_.index[i]];
            spread[0] += square[0][value[0]];
            spread[1] += square[1][value[1]];
            spread[2] += square[2][value[2]];
        }
        const double variances[3] = {spread[0] / n, spread[1] / n, spread[2] / n};
        tol_ = pairwise_sum(variances, 3) / 3.0 * in_.tol;

        x_.resize(3 * u_);
        weight_.resize(u_);
        norm_.resize(u_);
        for (std::size_t c = 0; c < u_; ++c) {
            for (int ch = 0; ch < 3; ++ch) {
                x_[3 * c + ch] = static_cast<double>(in_.values[c][ch]) - mean_[ch];
            }
            weight_[c] = static_cast<double>(in_.counts[c]);
            norm_[c] = squared_norm(&x_[3 * c]);
        }
    }

    // RandomState.choice(n, p=w / w.sum()) with unit weights: the first index whose
    // normalised running sum of p exceeds the draw. The running sum is kept at the end of
    // each block, so a draw walks one block only.
    void first_draw_chain() {
        step_ = 1.0 / static_cast<double>(in_.pixels);
        double s = 0.0;
        for (std::size_t i = 0; i < in_.pixels; ++i) {
            s = i == 0 ? step_ : s + step_;
            if (i % block == block - 1 || i + 1 == in_.pixels) {
                block_end_.push_back(s);
            }
        }
        last_ = s;
    }

    std::size_t first_pixel(double draw) const {
        std::size_t b = 0;
        while (b + 1 < block_end_.size() && !(block_end_[b] / last_ > draw)) {
            ++b;
        }
        double s = b == 0 ? 0.0 : block_end_[b - 1];
        const std::size_t end = std::min(in_.pixels, (b + 1) * block);
        for (std::size_t i = b * block; i < end; ++i) {
            s = i == 0 ? step_ : s + step_;
            if (s / last_ > draw) {
                return i;
            }
        }
        return end - 1;
    }

    // np.searchsorted(np.cumsum(closest[pixel colours]), r) for each r (side left), clipped
    // to the last pixel: one walk of the running sum in pixel order. The draws are scaled by
    // a potential summed in another order than BLAS sums it; a draw within that rounding
    // of a step's end (about n * sqrt(n) * 1e-16 per draw: 5e-6 at 12 MP) could pick the
    // neighbouring pixel, as scikit-learn itself may under another BLAS thread count.
    std::vector<std::size_t> candidate_pixels(const std::vector<double>& closest,
                                              const std::vector<double>& r) const {
        std::vector<std::size_t> order(r.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return r[a] < r[b]; });
        std::vector<std::size_t> found(r.size(), in_.pixels - 1);
        std::size_t next = 0;
        double s = 0.0;
        for (std::size_t i = 0; i < in_.pixels && next < order.size(); ++i) {
            s += closest[in_.index[i]];
            while (next < order.size() && s >= r[order[next]]) {
                found[order[next++]] = i;
            }
        }
        return found;
    }

    // max(-2 * c.x + |c|^2 + |x|^2, 0) for every colour: _euclidean_distances, squared.
    void distances_to(const double* centre, std::vector<double>& out) const {
        const double xx = squared_norm(centre);
        out.resize(u_);
        for (std::size_t c = 0; c < u_; ++c) {
            const double d = (-2.0 * blas_dot<Fused>(centre, &x_[3 * c]) + xx) + norm_[c];
            out[c] = d > 0.0 ? d : 0.0;
        }
    }

    double potential(const std::vector<double>& d) const {
        double pot = 0.0;
        for (std::size_t c = 0; c < u_; ++c) {
            pot += d[c] * weight_[c];
        }
        return pot;
    }

    // _kmeans_plusplus, greedy with local trials.
    std::vector<double> seed(const double* draws) const {
        std::vector<double> centres(3 * static_cast<std::size_t>(k_));
        const std::uint32_t first = in_.index[first_pixel(draws[0])];
        std::copy_n(&x_[3 * first], 3, centres.begin());
        std::vector<double> closest;
        distances_to(&centres[0], closest);
        double pot = potential(closest);
        const int trials = local_trials(k_);
        std::vector<double> r(static_cast<std::size_t>(trials));
        std::vector<std::vector<double>> candidate(r.size());
        ++draws;
        for (int c = 1; c < k_; ++c) {
            for (std::size_t t = 0; t < r.size(); ++t) {
                r[t] = draws[t] * pot;
            }
            draws += trials;
            const std::vector<std::size_t> pixels = candidate_pixels(closest, r);
            std::size_t best = 0;
            double best_pot = 0.0;
            for (std::size_t t = 0; t < r.size(); ++t) {
                distances_to(&x_[3 * in_.index[pixels[t]]], candidate[t]);
                for (std::size_t q = 0; q < u_; ++q) {
                    candidate[t][q] = std::min(closest[q], candidate[t][q]);
                }
                const double p = potential(candidate[t]);
                // Candidates that leave the same distances tie the same way everywhere.
                if (t > 0 && close(p, best_pot, best_pot) &&
                    in_.index[pixels[t]] != in_.index[pixels[best]] &&
                    candidate[t] != candidate[best]) {
                    undecided_ = true;
                }
                if (t == 0 || p < best_pot) {
                    best = t;
                    best_pot = p;
                }
            }
            pot = best_pot;
            closest.swap(candidate[best]);
            std::copy_n(&x_[3 * in_.index[pixels[best]]], 3,
                        &centres[3 * static_cast<std::size_t>(c)]);
        }
        return centres;
    }

    // The E-step of lloyd_iter_chunked_dense: |c|^2 - 2 c.x, first smallest.
    // `seeded`: the centres are the seeding's colours, bit for bit scikit-learn's, so any tie
    // breaks the same way in both computations.
    void assign(const std::vector<double>& centres, std::vector<std::int32_t>& labels,
                bool seeded) const {
        std::vector<double> cn(static_cast<std::size_t>(k_));
        for (int j = 0; j < k_; ++j) {
            cn[static_cast<std::size_t>(j)] =
                squared_norm(&centres[3 * static_cast<std::size_t>(j)]);
        }
        for (std::size_t c = 0; c < u_; ++c) {
            const double* x = &x_[3 * c];
            double min_d = cn[0] + -2.0 * blas_dot<Fused>(x, &centres[0]);
            double runner_up = std::numeric_limits<double>::infinity();
            std::int32_t label = 0;
            std::int32_t runner = -1;
            for (int j = 1; j < k_; ++j) {
                const double d =
                    cn[static_cast<std::size_t>(j)] +
                    -2.0 * blas_dot<Fused>(x, &centres[3 * static_cast<std::size_t>(j)]);
                if (d < min_d) {
                    runner_up = min_d;
                    runner = label;
                    min_d = d;
                    label = j;
                } else if (d < runner_up) {
                    runner_up = d;
                    runner = j;
                }
            }
            // Both distances are differences of squared norms of this size. Equal centres
            // (a duplicate seed, an emptied cluster) tie the same way in both computations.
            if (!seeded && runner >= 0 &&
                close(min_d, runner_up,
                      norm_[c] + cn[static_cast<std::size_t>(label)] +
                          cn[static_cast<std::size_t>(runner)]) &&
                !std::equal(&centres[3 * static_cast<std::size_t>(label)],
                            &centres[3 * static_cast<std::size_t>(label) + 3],
                            &centres[3 * static_cast<std::size_t>(runner)])) {
                undecided_ = true;
            }
            labels[c] = label;
        }
    }

    // _kmeans_single_lloyd. False when an empty cluster would be relocated to far points.
    bool lloyd(std::vector<double>& centres, std::vector<std::int32_t>& labels) const {
        const auto k = static_cast<std::size_t>(k_);
        labels.assign(u_, -1);
        std::vector<std::int32_t> labels_old(u_, -1);
        std::vector<double> centres_new(3 * k);
        std::vector<double> weight_in(k);
        std::vector<double> shift(k);
        bool strict = false;
        for (int iteration = 0; iteration < in_.max_iter; ++iteration) {
            assign(centres, labels, iteration == 0);
            std::fill(centres_new.begin(), centres_new.end(), 0.0);
            std::fill(weight_in.begin(), weight_in.end(), 0.0);
            for (std::size_t c = 0; c < u_; ++c) {
                const auto j = static_cast<std::size_t>(labels[c]);
                weight_in[j] += weight_[c];
                for (int ch = 0; ch < 3; ++ch) {
                    centres_new[3 * j + ch] += x_[3 * c + ch] * weight_[c];
                }
            }
            if (std::find(weight_in.begin(), weight_in.end(), 0.0) != weight_in.end() &&
                !all_on_their_centres(centres, labels)) {
                return false;
            }
            // _average_centers: an empty cluster takes the row of the heaviest one as it
            // stands at that moment, averaged or not.
            const std::size_t heaviest = static_cast<std::size_t>(
                std::max_element(weight_in.begin(), weight_in.end()) - weight_in.begin());
            for (std::size_t j = 0; j < k; ++j) {
                if (weight_in[j] > 0) {
                    const double alpha = 1.0 / weight_in[j];
                    for (int ch = 0; ch < 3; ++ch) {
                        centres_new[3 * j + ch] *= alpha;
                    }
                } else {
                    for (int ch = 0; ch < 3; ++ch) {
                        centres_new[3 * j + ch] = centres_new[3 * heaviest + ch];
                    }
                }
            }
            for (std::size_t j = 0; j < k; ++j) {
                const double d = std::sqrt(squared_distance(&centres_new[3 * j], &centres[3 * j]));
                shift[j] = d * d;
            }
            centres.swap(centres_new);
            if (labels == labels_old) {
                strict = true;
                break;
            }
            const double shift_total = pairwise_sum(shift.data(), k);
            if (close(shift_total, tol_, tol_)) {
                undecided_ = true;
            }
            if (shift_total <= tol_) {
                break;
            }
            labels_old = labels;
        }
        if (!strict) {
            assign(centres, labels, false);
        }
        return true;
    }

    // np.max(((X - centers_old[labels]) ** 2).sum(axis=1)) == 0
    bool all_on_their_centres(const std::vector<double>& centres,
                              const std::vector<std::int32_t>& labels) const {
        for (std::size_t c = 0; c < u_; ++c) {
            const double* centre = &centres[3 * static_cast<std::size_t>(labels[c])];
            double d = 0.0;
            for (int ch = 0; ch < 3; ++ch) {
                const double diff = x_[3 * c + ch] - centre[ch];
                d += diff * diff;
            }
            if (d != 0.0) {
                return false;
            }
        }
        return true;
    }

    double inertia_of(const std::vector<double>& centres,
                      const std::vector<std::int32_t>& labels) const {
        double inertia = 0.0;
        for (std::size_t c = 0; c < u_; ++c) {
            const double* centre = &centres[3 * static_cast<std::size_t>(labels[c])];
            inertia += squared_distance(&x_[3 * c], centre) * weight_[c];
        }
        return inertia;
    }

    // _is_same_clustering: equal up to a permutation of the labels.
    bool same_clustering(const std::vector<std::int32_t>& a,
                         const std::vector<std::int32_t>& b) const {
        std::vector<std::int32_t> mapping(static_cast<std::size_t>(k_), -1);
        for (std::size_t c = 0; c < u_; ++c) {
            std::int32_t& m = mapping[static_cast<std::size_t>(a[c])];
            if (m == -1) {
                m = b[c];
            } else if (m != b[c]) {
                return false;
            }
        }
        return true;
    }

    // a and b within `tie` of each other, relative to the magnitude `scale`.
    static bool close(double a, double b, double scale) {
        return std::abs(a - b) <= tie * std::abs(scale);
    }

    const kmeans_input& in_;
    mutable bool undecided_ = false;
    std::size_t u_;
    int k_;
    double mean_[3] = {0.0, 0.0, 0.0};
    double tol_ = 0.0;
    std::vector<double> x_;       // centred colours
    std::vector<double> weight_;  // their pixel counts
    std::vector<double> norm_;    // their squared norms
    double step_ = 0.0;
    double last_ = 0.0;
    std::vector<double> block_end_;
};

}  // namespace

}  // namespace huesift::clustering
