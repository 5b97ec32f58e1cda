// Lloyd's iterations as scikit-learn's _kmeans_single_lloyd takes them: the assignment step,
// the update step, and the shift step that weighs the centres' move against the tolerance,
// until no label changes or the shift is within the tolerance.
#pragma once

#include "centres.hpp"
#include "seeding.hpp"

#include <cstdint>
#include <mutex>
#include <vector>

namespace huesift::clustering::kmeans {

// One run's outcome.
struct run {
    bool undecided = false;
    std::vector<std::int32_t> labels;
    centre_set centres{0};
    std::vector<centre> members;        // the labelled colours' sums and pixel counts
    std::vector<std::int64_t> squares;  // and the sums of their squared norms
};

// _tolerance, np.mean(np.var(X, axis=0)) * tol: known at once within a narrow band, from the
// colours and their pixel counts, and to the bit only where a shift falls within that band,
// from NumPy's own pass over every pixel (taken once, for whichever run asks first).
class tolerance {
public:
    tolerance(const kmeans_input& in, const colours& x);
    double low() const { return low_; }
    double high() const { return high_; }
    double exact() const;

private:
    const kmeans_input* in_;
    const colours* x_;
    double low_ = 0.0;
    double high_ = 0.0;
    mutable std::once_flag once_;
    mutable double exact_ = 0.0;
};

// The shift step: whether the squared shift of the centres from `from` to `to`, summed, is
// within the tolerance (exactly, where floating point cannot tell), and into `moved`, how far
// each centre moved at most, for the assignment's bounds.
bool shift_within(const centre_set& from, const centre_set& to, const tolerance& tol,
                  std::vector<double>& moved);

// `grouped_from` as kmeans_input has it.
run lloyd(const colours& x, seeding&& start, int max_iter, const tolerance& tol, int grouped_from);

}  // namespace huesift::clustering::kmeans
