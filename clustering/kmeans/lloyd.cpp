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

}  // namespace

bool shift_within(const centre_set& from, const centre_set& to, double tol,
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
    if (total + error < tol) {
        return true;
    }
    if (total - error > tol) {
        return false;
    }
    return exact_shift(from, to) <= exact_tolerance(tol);
}

run lloyd(const colours& x, seeding&& start, int max_iter, const std::shared_future<double>& tol,
          int grouped_from) {
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
        const bool within = shift_within(out.centres, moved, tol.get(), moved_by);
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
