// KMeans.fit over the distinct colours: the shared preparation, the runs on the threads
// allowed, the choice of the best run, and the labels of the pixels.
#include "kmeans.hpp"

#include "lloyd.hpp"
#include "seeding.hpp"

#include "preparation/parallel.hpp"

#include <algorithm>
#include <optional>

namespace huesift::clustering {

namespace kmeans {

namespace {

// A run's inertia, sum over clusters of (Q W'^2 - 2 W' S.S' + W |S'|^2) / W'^2 for the
// labelled colours' sums S, squared norms Q and count W around the centre S' / W'.
class inertia {
public:
    explicit inertia(const run& r) {
        for (std::size_t j = 0; j < r.members.size(); ++j) {
            const centre& m = r.members[j];
            const centre& c = r.centres.exact(static_cast<int>(j));
            const auto w = static_cast<exact::i128>(c.count);
            exact::i128 dot = 0;
            exact::i128 norm = 0;
            for (int ch = 0; ch < 3; ++ch) {
                dot += static_cast<exact::i128>(m.sum[ch]) * c.sum[ch];
                norm += static_cast<exact::i128>(c.sum[ch]) * c.sum[ch];
            }
            const exact::i128 numerator = r.squares[j] * w * w - 2 * w * dot + m.count * norm;
            numerator_.push_back(static_cast<exact::u128>(numerator));
            denominator_.push_back(static_cast<exact::u128>(w * w));
            value_ +=
                static_cast<double>(numerator_.back()) / static_cast<double>(denominator_.back());
        }
        // Each term is off by three roundings, the sum of positive terms by one per term.
        error_ = value_ * static_cast<double>(numerator_.size() + 4) * 0x1p-51;
    }

    // inertia < best_inertia
    bool below(const inertia& best) const {
        if (value_ + error_ < best.value_ - best.error_) {
            return true;
        }
        if (value_ - error_ > best.value_ + best.error_) {
            return false;
        }
        return exact_value() < best.exact_value();
    }

private:
    exact::ratio_sum exact_value() const {
        exact::ratio_sum total;
        for (std::size_t j = 0; j < numerator_.size(); ++j) {
            total.add(exact::natural(numerator_[j]), exact::natural(denominator_[j]));
        }
        return total;
    }

    std::vector<exact::u128> numerator_;
    std::vector<exact::u128> denominator_;
    double value_ = 0.0;
    double error_ = 0.0;
};

// _is_same_clustering: equal up to a permutation of the labels.
bool same_clustering(const std::vector<std::int32_t>& a, const std::vector<std::int32_t>& b,
                     int clusters) {
    std::vector<std::int32_t> mapping(static_cast<std::size_t>(clusters), -1);
    for (std::size_t c = 0; c < a.size(); ++c) {
        std::int32_t& m = mapping[static_cast<std::size_t>(a[c])];
        if (m == -1) {
            m = b[c];
        } else if (m != b[c]) {
            return false;
        }
    }
    return true;
}

}  // namespace

}  // namespace kmeans

kmeans_result kmeans_fit(const kmeans_input& in) {
    using namespace kmeans;
    const colours x(in);
    const uniform_choice choice(in.pixels);
    const colour_blocks where(in.index, in.pixels, in.distinct, in.threads,
                              colour_blocks::worth_indexing(in.clusters, in.pixels),
                              colour_blocks::worth_spanning(in.pixels));
    const std::size_t per_run = draws_needed(in.clusters, 1);
    std::vector<run> runs(static_cast<std::size_t>(in.runs));
    const tolerance tol(in, x);
    parallel_for(runs.size(), workers_for(runs.size(), in.threads), [&](std::size_t r, unsigned) {
        runs[r] = lloyd(x, seed(x, in, choice, where, in.draws + r * per_run), in.max_iter, tol,
                        in.grouped_from);
    });
    kmeans_result out;
    std::size_t best = 0;
    std::optional<inertia> best_inertia;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        if (runs[r].undecided) {
            out.undecided = true;
            return out;
        }
        inertia current(runs[r]);
        if (r == 0 || (current.below(*best_inertia) &&
                       !same_clustering(runs[r].labels, runs[best].labels, in.clusters))) {
            best = r;
            best_inertia = std::move(current);
        }
    }
    run& chosen = runs[best];
    std::vector<std::uint8_t> used(static_cast<std::size_t>(in.clusters), 0);
    for (std::int32_t l : chosen.labels) {
        used[static_cast<std::size_t>(l)] = 1;
    }
    out.distinct_clusters = static_cast<int>(std::count(used.begin(), used.end(), 1));
    out.labels = std::move(chosen.labels);
    out.centres = chosen.centres.coordinates();
    return out;
}

void label_pixels(const std::vector<std::int32_t>& colour_labels, std::uint32_t* index,
                  std::size_t pixels, unsigned threads) {
    constexpr std::size_t chunk = std::size_t{1} << 20;
    const std::size_t chunks = (pixels + chunk - 1) / chunk;
    // Written through the same buffer: an int32 label over its colour's uint32 number.
    auto* out = reinterpret_cast<std::int32_t*>(index);
    parallel_for(chunks, workers_for(chunks, threads), [&](std::size_t c, unsigned) {
        const std::size_t end = std::min(pixels, (c + 1) * chunk);
        for (std::size_t i = c * chunk; i < end; ++i) {
            out[i] = colour_labels[index[i]];
        }
    });
}

}  // namespace huesift::clustering
