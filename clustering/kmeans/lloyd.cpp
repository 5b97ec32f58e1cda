#include "lloyd.hpp"

#include "assignment.hpp"
#include "update.hpp"

#include <array>
#include <cmath>
#include <utility>

namespace huesift::clustering::kmeans {

namespace {

// The exact squared shift: sum over centres of |S_a W_b - S_b W_a|^2 / (W_a W_b)^2.
exact::ratio_sum exact_shift(const centre_set& from, const centre_set& to) {
    exact::ratio_sum total;
    for (int j = 0; j < from.size(); ++j) {
        const centre& a = to.exact(j);
        const centre& b = from.exact(j);
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

exact::ratio_sum exact_tolerance(double tol) {
    exact::ratio_sum t;
    t.add(tol);
    return t;
}

// NumPy's pairwise summation of a contiguous vector, for the mean of three variances.
double pairwise_sum(const double* a, std::size_t n) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        res += a[i];
    }
    return res;
}

// Each value's squared distance to its channel's mean, as NumPy rounds it: (X - mean) ** 2.
struct squares {
    explicit squares(const colours& x) {
        for (int ch = 0; ch < 3; ++ch) {
            for (int v = 0; v < 256; ++v) {
                const double d = static_cast<double>(v) - x.mean[ch];
                of[ch][v] = d * d;
            }
        }
    }
    double of[3][256];
};

// The rest of _tolerance from the three sums of squares: each rounding step is monotone, so
// sums known within bounds give a tolerance within the same steps' results on the bounds.
double from_spreads(const double* spread, const kmeans_input& in) {
    const auto n = static_cast<double>(in.pixels);
    const double variances[3] = {spread[0] / n, spread[1] / n, spread[2] / n};
    return pairwise_sum(variances, 3) / 3.0 * in.tol;
}

}  // namespace

tolerance::tolerance(const kmeans_input& in, const colours& x) : in_(&in), x_(&x) {
    // The sums of squares over the colours, each square times its pixel count: every product
    // and sum rounded at most once, so within (colours + 1) * 2^-53 of the exact sum, relatively;
    // NumPy's sum over the pixels, within (pixels - 1) * 2^-53 of it. Bounds twice as wide.
    const squares square(x);
    double spread[3] = {0.0, 0.0, 0.0};
    for (std::size_t c = 0; c < x.size; ++c) {
        const auto w = static_cast<double>(x.weight[c]);
        for (int ch = 0; ch < 3; ++ch) {
            spread[ch] += w * square.of[ch][x.values[c][static_cast<std::size_t>(ch)]];
        }
    }
    const double off = 2.0 * static_cast<double>(in.pixels + x.size + 2) * 0x1p-52;
    double below[3], above[3];
    for (int ch = 0; ch < 3; ++ch) {
        below[ch] = spread[ch] * (1.0 - off);
        above[ch] = spread[ch] * (1.0 + off);
    }
    low_ = from_spreads(below, in);
    high_ = from_spreads(above, in);
}

double tolerance::exact() const {
    // The variance's sum runs in pixel order, as NumPy's reduction over the first axis adds row
    // after row; X.mean(axis=0) sums whole numbers, exactly.
    std::call_once(once_, [&] {
        const squares square(*x_);
        double spread[3] = {0.0, 0.0, 0.0};
        for (std::size_t i = 0; i < in_->pixels; ++i) {
            const auto& value = in_->values[in_->index[i]];
            spread[0] += square.of[0][value[0]];
            spread[1] += square.of[1][value[1]];
            spread[2] += square.of[2][value[2]];
        }
        exact_ = from_spreads(spread, *in_);
    });
    return exact_;
}

bool shift_within(const centre_set& from, const centre_set& to, const tolerance& tol,
                  std::vector<double>& moved) {
    const int k = from.size();
    double total = 0.0;
    double error = 0.0;
    for (int j = 0; j < k; ++j) {
        double squared = 0.0;
        for (int ch = 0; ch < 3; ++ch) {
            const double d = to.at(j)[ch] - from.at(j)[ch];
            squared += d * d;
            // each coordinate is off by at most 2^-53 * 255, the difference by twice that
            error += 2.0 * std::abs(d) * 1e-13 + 1e-26;
        }
        total += squared;
        moved[static_cast<std::size_t>(j)] = std::sqrt(squared) * round_up + 2e-13;
    }
    error += total * (3 * k + 2) * 0x1p-52;
    if (total + error < tol.low()) {
        return true;
    }
    if (total - error > tol.high()) {
        return false;
    }
    const double exact = tol.exact();
    if (total + error < exact) {
        return true;
    }
    if (total - error > exact) {
        return false;
    }
    return exact_shift(from, to) <= exact_tolerance(exact);
}

run lloyd(const colours& x, seeding&& start, int max_iter, const tolerance& tol, int grouped_from) {
    const int k = start.centres.size();
    assignment e_step(x, start, grouped_from);
    run out;
    out.labels = std::move(start.labels);
    out.centres = std::move(start.centres);
    // Four sets of sums taken in turn, then added: colours in a row often share a cluster, and
    // with one set each would wait for the one before.
    std::array<cluster_sums, 4> part{cluster_sums(k), cluster_sums(k), cluster_sums(k),
                                     cluster_sums(k)};
    for (std::size_t c = 0; c < x.size; ++c) {
        part[c & 3].join(x, c, out.labels[c], +1);
    }
    cluster_sums sums = std::move(part[0]);
    for (std::size_t p = 1; p < part.size(); ++p) {
        sums.add(part[p]);
    }
    std::vector<double> moved_by(static_cast<std::size_t>(k), 0.0);
    centre_set moved(k);
    bool strict = false;
    // The seeding's labels are the first E-step's: labels_old starts as -1, so the first
    // iteration never converges strictly.
    for (int i = 0; i < max_iter; ++i) {
        const bool changed = i == 0 || e_step.assign(out.centres, moved_by, out.labels, sums);
        if (!update(x, out.centres, out.labels, sums.members, moved)) {
            out.undecided = true;
            break;
        }
        const bool within = shift_within(out.centres, moved, tol, moved_by);
        out.centres = moved;
        if (!changed) {
            strict = true;
            break;
        }
        if (within) {
            break;
        }
    }
    if (!strict && !out.undecided) {
        e_step.assign(out.centres, moved_by, out.labels, sums);
    }
    out.members = std::move(sums.members);
    out.squares = std::move(sums.squares);
    return out;
}

}  // namespace huesift::clustering::kmeans
