// How many threads the native cores may use, one policy for all of them: as many as
// scikit-learn's own OpenMP loops would use, so that OMP_NUM_THREADS and threadpoolctl's limits
// hold for both. No Python here: the module asks scikit-learn for its count, and this decides
// what scikit-learn leaves open.
#pragma once

#include <cstdlib>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace huesift::threads {

inline constexpr long most = 256;

// The cores this process may run on.
inline long allowed_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return CPU_COUNT(&set);
    }
#endif
    return static_cast<long>(std::thread::hardware_concurrency());
}

// Without scikit-learn's count: OMP_NUM_THREADS when set to a number, else the cores allowed.
inline long fallback() {
    if (const char* text = std::getenv("OMP_NUM_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(text, &end, 10);
        if (end != text && n > 0) {
            return n;
        }
    }
    return allowed_cores();
}

// The threads a call's cores may use, from scikit-learn's count (below 1 when it has none):
// at least one, at most `most`.
inline unsigned allowed(long asked) {
    const long n = asked >= 1 ? asked : fallback();
    return static_cast<unsigned>(n < 1 ? 1 : n > most ? most : n);
}

}  // namespace huesift::threads
