// The assignment step of Lloyd's iterations (scikit-learn's E-step): each colour to its nearest
// centre, the first of several equally near, with every decision exact and most distances
// never computed.
//
// Each colour keeps an upper bound on its distance to its centre and a lower bound on its
// distance to every other (Hamerly's bounds, widened past their rounding). When centres move,
// the bounds move by as much; a colour whose upper bound stays below its lower bound keeps its
// label, which exact arithmetic would give it too. The others are measured against their own
// centre first, which settles many of them; only the rest are measured against every centre.
//
// From `grouped_from` clusters on, the centres are grouped once, near ones together, and each
// colour also keeps a lower bound per group (Yinyang k-means' bounds): a colour still open is
// then measured against the groups those bounds cannot rule out, not against every centre.
#pragma once

#include "centres.hpp"
#include "seeding.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering::kmeans {

// Factors that push a float bound past the rounding of the operation that gave it.
constexpr float bound_up = 1.0f + 0x1p-22f;
constexpr float bound_down = 1.0f - 0x1p-22f;

// The bounds of n colours moved as their centres moved: upper bounds up by their centre's
// `raise`, lower bounds down by its `drop`; open[c] is 1 where they no longer tell that colour
// c keeps its label (its lower bound, or half the way from its centre to the next, stays
// above its upper bound).
void move_bounds(std::size_t n, const std::int32_t* labels, float* high, float* low,
                 const float* raise, const float* drop, const float* half, std::uint8_t* open);
// The lists of the float paths below hold each colour's number (below 2^24, as there are no
// more 8-bit colours) with its label in the top bits, so that no pass fetches the label again.
constexpr int listed_label_shift = 24;
constexpr std::uint32_t listed_colour_mask = (std::uint32_t{1} << listed_label_shift) - 1;

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same for at most k = 8 centres on a processor with AVX2, listing the open colours in
// `list` (room for n), in order, each with its label; how many.
std::size_t move_bounds_listed(std::size_t n, const std::int32_t* labels, float* high, float* low,
                               const float* raise, const float* drop, const float* half, int k,
                               std::uint32_t* list);

// The upper bounds of the `open` colours listed (with their labels) made tight, for at most
// k = 8 centres on a processor with AVX2: each bound is the colour's distance to its centre
// (`at`, k x 3), worked out in floats and pushed past their rounding. Colours whose bound falls
// below both their lower bound and half the way from their centre to the next leave the list;
// the others stay, in order. How many stay. `packed` holds each colour's channels a byte each.
std::size_t tighten_listed(std::size_t open, std::uint32_t* list, const std::uint32_t* packed,
                           const double* at, int k, const float* low, const float* half,
                           float* high);
#endif

class assignment {
public:
    // The bounds from the seeding's distances, for the seeding's labels; per group of centres
    // too from `grouped_from` clusters on.
    assignment(const colours& x, const seeding& start, int grouped_from);

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
        double own[3][batch];  // each colour's own centre
        std::uint8_t keep[batch];
    };

    std::size_t move_and_list(const std::vector<std::int32_t>& labels);
    std::size_t list_open();
    std::size_t tighten(const centre_set& centres, std::size_t open,
                        const std::vector<std::int32_t>& labels);
    bool measure_all(const centre_set& centres, std::size_t open, std::vector<std::int32_t>& labels,
                     cluster_sums& sums);
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    template <bool listed>
    __attribute__((target("avx2"))) bool measure_floats(const centre_set& centres, std::size_t open,
                                                        std::vector<std::int32_t>& labels,
                                                        cluster_sums& sums);
#endif
    void measure_exactly(const centre_set& centres, std::size_t c, int& best);
    bool measure_grouped(const centre_set& centres, std::size_t open,
                         std::vector<std::int32_t>& labels, cluster_sums& sums);
    int nearest_grouped(std::size_t c, int a);
    void group(const centre_set& centres);
    int settle(const centre_set& centres, std::size_t c, int guess);
    bool relabel(std::size_t c, int a, int b, std::vector<std::int32_t>& labels,
                 cluster_sums& sums) const;
    bool is_nearer(const centre_set& centres, std::size_t c, int j, int best) const;

    const colours& x_;
    int k_;
    // At most eight centres, on a processor with AVX2: each centre's numbers fit one register,
    // and the float paths above (the *_listed ones, and measure_floats) take the steps.
    [[maybe_unused]] bool eight_wide_ = false;  // read only where the float paths are built
    // More centres on a processor with AVX2: the open colours are measured in floats all the
    // same, each centre's numbers fetched in turn.
    [[maybe_unused]] bool wide_ = false;
    std::vector<float> as_floats_;  // the centres' coordinates, as floats
    std::vector<float> high_;       // at least the distance to the colour's centre
    std::vector<float> low_;        // at most the distance to any other centre
    // Per centre, as floats past their rounding: how much its colours' upper bounds rise and
    // their lower bounds drop, and half the distance to the nearest other centre.
    std::vector<float> raise_;
    std::vector<float> drop_;
    std::vector<float> half_;
    std::vector<double> distance_;     // scratch for one colour
    std::vector<std::uint32_t> open_;  // the colours whose bounds need a closer look
    std::vector<std::uint8_t> flag_;
    scan_batch scan_;

    // The groups (none below `grouped_from` clusters). A group's bound for a colour holds for
    // every centre of the group but the colour's own, as it stood at the colour's stamp; the
    // groups' drift since then (how far their centres moved at most, summed) comes off it.
    // Drifts are kept in units of 2^-32, rounded up, so that their sums and differences are
    // exact.
    int groups_ = 0;
    std::vector<int> group_of_;         // per centre
    std::vector<int> member_;           // the centres, group after group
    std::vector<int> place_;            // per centre, its place in member_
    std::vector<int> group_start_;      // where each group starts in member_, and the end
    std::vector<float> bound_;          // per colour, per group
    std::vector<std::uint32_t> stamp_;  // per colour: the assignment its group bounds date from
    std::vector<std::int64_t> drift_;   // per assignment, per group: the drift since the seeding
    std::uint32_t step_ = 0;            // assignments so far
    std::vector<double> packed_;        // the centres' coordinates in member_'s order, by channel
    std::vector<float> reach_;          // scratch per group: the bounds as they stand now
    std::vector<double> least_;         // the least distance measured in a group,
    std::vector<double> second_;        // the next least,
    std::vector<int> nearest_;          // the centre at the least (-1 when not measured)
};

}  // namespace huesift::clustering::kmeans
