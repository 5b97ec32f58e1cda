// Lloyd's iterations as scikit-learn's _kmeans_single_lloyd takes them: the assignment step,
// the update step, and the shift step that weighs the centres' move against the tolerance,
// until no label changes or the shift is within the tolerance.
#pragma once

#include "centres.hpp"
#include "seeding.hpp"

#include <cstdint>
#include <future>
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

// The shift step: whether the squared shift of the centres from `from` to `to`, summed, is
// within `tol` (exactly, where floating point cannot tell), and into `moved`, how far each
// centre moved at most, for the assignment's bounds.
bool shift_within(const centre_set& from, const centre_set& to, double tol,
                  std::vector<double>& moved);

// The tolerance is waited for only when the first iteration has ended. `grouped_from` as
// kmeans_input has it.
run lloyd(const colours& x, seeding&& start, int max_iter, const std::shared_future<double>& tol,
          int grouped_from);

}  // namespace huesift::clustering::kmeans
