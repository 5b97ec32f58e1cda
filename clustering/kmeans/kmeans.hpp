// scikit-learn's k-means (k-means++ seeding, Lloyd's iterations, the best of n_init runs) over
// the distinct colours of 8-bit pixel rows, decided in exact arithmetic: no Python, no GIL
// needed. This is the whole of it a caller sees; fit.cpp drives the steps, which live beside it.
//
// Equal rows always get the same label, so every step scikit-learn takes per row is taken
// here once per distinct colour, weighted by its pixel count. Two things stay per pixel
// because they depend on the pixel order: the variance behind the tolerance, and the
// k-means++ draws (searches in running sums over the pixels in their order).
//
// scikit-learn computes in floating point, so its sums, and the decisions taken on them, carry
// rounding that depends on its summation order and thread count. Here every decision is the
// one exact arithmetic takes: a centre is an integer sum over an integer count, so a label,
// a candidate, the stop on the tolerance and the best run are ratios of integers compared.
// Floating point decides where it is surely right; a comparison within its rounding is
// settled exactly. Equal values go where scikit-learn's code sends equal values: the first
// index of a minimum, the earlier run. Where scikit-learn's own answer does not hinge on its
// rounding, labels are therefore identical and centres agree to the last bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace huesift::clustering {

// Whether kmeans_fit takes `clusters` clusters over `pixels` pixel rows: at least one cluster
// and no more than there are rows (fewer rows than clusters never reach k-means), and rows
// numbered, and labelled, in 32 bits. Any number of clusters, beyond the distinct colours too:
// those left empty sit on the heaviest cluster's centre.
inline bool kmeans_accepts(long long clusters, std::size_t pixels) {
    return clusters >= 1 && static_cast<unsigned long long>(clusters) <= pixels &&
           pixels <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
}

struct kmeans_input {
    const std::array<std::uint8_t, 3>* values;  // the distinct colours
    const std::int64_t* counts;                 // pixels of each colour
    std::size_t distinct;
    const std::uint32_t* index;  // per pixel, in pixel order: its colour's number
    std::size_t pixels;
    int clusters;  // as kmeans_accepts() takes them
    int runs;      // n_init
    int max_iter;
    double tol;  // the relative tolerance, scaled by the mean channel variance
    // NumPy RandomState doubles, in the order the runs consume them (draws_needed()).
    const double* draws;
    unsigned threads;  // the runs are shared among this many
    // From this many clusters on, the assignment step keeps a bound per group of centres too;
    // the labels are the same either way. In three channels a vectorised pass over every
    // centre costs less than those bounds' upkeep (at 12 MP they were slower at 32, 64 and 128
    // clusters), so they are off unless asked for.
    int grouped_from = std::numeric_limits<int>::max();
};

// 2 + int(log(k)): the candidates tried for each centre after the first.
int local_trials(int clusters);
// One double for the first centre and local_trials() for each other one, per run.
std::size_t draws_needed(int clusters, int runs);

struct kmeans_result {
    // scikit-learn's own call must decide: a cluster emptied by moving its last pixel away
    // took the unaveraged sum of a later cluster as its centre.
    bool undecided = false;
    std::vector<std::int32_t> labels;  // per distinct colour
    std::vector<double> centres;       // clusters x 3, in the input's units
    int distinct_clusters = 0;         // labels in use
};

kmeans_result kmeans_fit(const kmeans_input& in);

// Each pixel's label from its colour's: `index` holds each pixel's colour number on entry and
// its label (an int32) on return, the pixels shared among `threads`.
void label_pixels(const std::vector<std::int32_t>& colour_labels, std::uint32_t* index,
                  std::size_t pixels, unsigned threads);

}  // namespace huesift::clustering
