// How many threads the native cores may use: one policy for all of them.
#pragma once

#include "module_state.hpp"

namespace huesift {

// The threads a native core may use in this call: as many as scikit-learn's own OpenMP code
// would use, so that OMP_NUM_THREADS and threadpoolctl's limits hold for both. Never raises.
unsigned native_threads(const module_state& st);

}  // namespace huesift
