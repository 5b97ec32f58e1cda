// scikit-learn's k-means (k-means++ seeding, Lloyd's iterations, n_init runs) over the
// distinct colours of 8-bit pixel rows: no Python, no GIL needed.
//
// Equal rows always get the same label and distance, so every step that scikit-learn takes
// per row is taken here once per distinct colour, weighted by its pixel count, with the
// same floating-point expressions. Two things stay per pixel because their result depends
// on the pixel order: the variance behind the tolerance, and the k-means++ candidate draw
// (a search in the running sum of the distances over the pixels in their order). The
// weighted sums (potentials, centres, inertia) are added in another order than
// scikit-learn's, so their last bits may differ.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering {

struct kmeans_input {
    const std::array<std::uint8_t, 3>* values;  // the distinct colours
    const std::int64_t* counts;                 // pixels of each colour
    std::size_t distinct;
    const std::uint32_t* index;  // per pixel, in pixel order: its colour's number
    std::size_t pixels;
    int clusters;  // at least 1, at most `pixels`
    int runs;      // n_init
    int max_iter;
    double tol;  // the relative tolerance, scaled by the mean channel variance
    // NumPy RandomState doubles, in the order the runs consume them (draws_needed()).
    const double* draws;
};

// 2 + int(log(k)): the candidates tried for each centre after the first.
int local_trials(int clusters);
// One double for the first centre and local_trials() for each other one, per run.
std::size_t draws_needed(int clusters, int runs);

struct kmeans_result {
    // scikit-learn's own call must decide: an empty cluster had to move to far points, or a
    // comparison came closer than the summation order can tell apart (a tie).
    bool undecided = false;
    std::vector<std::int32_t> labels;  // per distinct colour
    std::vector<double> centres;       // clusters x 3, in the input's units
    int distinct_clusters = 0;         // labels in use
};

// Which fused multiply-add the platform's BLAS uses decides the last bit of a distance;
// this follows the processor, as BLAS kernels do.
//
// Sums added in another order differ from scikit-learn's in their last bits, and so can the
// centres and distances built on them. The decisions taken on them (a label once the centres
// are means, the best of the candidates, the stop on the tolerance, the best run) are
// therefore checked for a margin of `tie` relative to the magnitudes compared; a decision
// inside that margin leaves the result undecided rather than guessed. The candidate draw
// itself is left unchecked: its margin is a single pixel's step in a running sum over all
// pixels, so a check would turn down most large photos for a risk of about 1e-6 a draw.
constexpr double tie = 1e-10;

kmeans_result kmeans_fit(const kmeans_input& in);

}  // namespace huesift::clustering
