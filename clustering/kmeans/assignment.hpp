// The assignment step of Lloyd's iterations (scikit-learn's E-step): each colour to its nearest
// centre, the first of several equally near, with every decision exact and most distances
// never computed.
//
// Each colour keeps an upper bound on its distance to its centre and a lower bound on its
// distance to every other (Hamerly's bounds, widened past their rounding). When centres move,
// the bounds move by as much; a colour whose upper bound stays below its lower bound keeps its
// label, which exact arithmetic would give it too. Only the others are measured again.
#pragma once

#include "centres.hpp"
#include "seeding.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering::kmeans {

class assignment {
public:
    // The bounds from the seeding's distances, for the seeding's labels.
    assignment(const colours& x, const seeding& start);

    // Each colour to its nearest centre, its cluster's sums following it. `moved` holds how far
    // each centre moved since the last assignment, at most. True when a label changed.
    bool assign(const centre_set& centres, const std::vector<double>& moved,
                std::vector<std::int32_t>& labels, cluster_sums& sums);

private:
    static constexpr std::size_t batch = 256;

    // Scratch for the colours measured against every centre, a batch at a time.
    struct scan_batch {
        double at[3][batch];
        std::int32_t best[batch];
        double least[batch];
        double next[batch];
        float high[batch];
        float low[batch];
    };

    int settle(const centre_set& centres, std::size_t c, std::size_t i);
    bool is_nearer(const centre_set& centres, std::size_t c, int j, int best) const;

    const colours& x_;
    int k_;
    std::vector<float> high_;  // at least the distance to the colour's centre
    std::vector<float> low_;   // at most the distance to any other centre
    // Per centre, as floats past their rounding: how much its colours' upper bounds rise and
    // their lower bounds drop, and half the distance to the nearest other centre.
    std::vector<float> raise_;
    std::vector<float> drop_;
    std::vector<float> half_;
    std::vector<double> distance_;     // scratch for one colour
    std::vector<std::uint32_t> open_;  // the colours whose bounds need a closer look
    std::vector<std::uint8_t> flag_;
    scan_batch scan_;
};

}  // namespace huesift::clustering::kmeans
