// How many threads the native cores may use: one policy for all of them.
#include "threads.hpp"

#include <cstdlib>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace huesift {

namespace {

constexpr long most = 256;

// The cores this process may run on.
long allowed_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return CPU_COUNT(&set);
    }
#endif
    return static_cast<long>(std::thread::hardware_concurrency());
}

// Without scikit-learn's count: OMP_NUM_THREADS when set to a number, else the cores allowed.
long fallback_threads() {
    if (const char* text = std::getenv("OMP_NUM_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(text, &end, 10);
        if (end != text && n > 0) {
            return n;
        }
    }
    return allowed_cores();
}

}  // namespace

unsigned native_threads(const module_state& st) {
    long n = 0;
    if (st.openmp_threads && !st.openmp_threads.is_none()) {
        try {
            n = PyLong_AsLong(call(st.openmp_threads).get());
            if (n == -1 && PyErr_Occurred()) {
                throw python_error();
            }
        } catch (const python_error&) {
            PyErr_Clear();
            n = 0;
        }
    }
    if (n < 1) {
        n = fallback_threads();
    }
    return static_cast<unsigned>(n < 1 ? 1 : n > most ? most : n);
}

}  // namespace huesift
