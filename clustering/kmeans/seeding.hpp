// k-means++ as scikit-learn's _kmeans_plusplus runs it: the pixel a draw picks, and the seeds
// with each colour's nearest and next nearest seed.
#pragma once

#include "centres.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering::kmeans {

// RandomState.choice(n, p=w / w.sum()) with unit weights, as NumPy draws it: the first pixel
// whose normalised running sum of p exceeds the draw. The running sum is kept at the end of
// each block of pixels, so a draw walks one block.
class uniform_choice {
public:
    explicit uniform_choice(std::size_t pixels);
    std::size_t pick(double draw) const;

private:
    std::size_t pixels_;
    double step_;
    double last_ = 0.0;
    std::vector<double> block_end_;
};

// What k-means++ hands to Lloyd's iterations.
struct seeding {
    centre_set centres;
    std::vector<std::int32_t> labels;   // each colour's nearest centre, the first if several
    std::vector<std::int32_t> nearest;  // its squared distance to it
    std::vector<std::int32_t> next;     // and to the nearest other centre (or `far`)
    static constexpr std::int32_t far = 0x7fffffff;
};

seeding seed(const colours& x, const kmeans_input& in, const uniform_choice& choice,
             const double* draws);

}  // namespace huesift::clustering::kmeans
