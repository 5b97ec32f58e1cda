// The plain build of the engine, and the choice between the two.
#include "kmeans_engine.hpp"

namespace huesift::clustering {

kmeans_result fit_plain(const kmeans_input& in) { return engine<false>(in).fit(); }

int local_trials(int clusters) {
    return 2 + static_cast<int>(std::log(static_cast<double>(clusters)));
}

std::size_t draws_needed(int clusters, int runs) {
    return static_cast<std::size_t>(runs) *
           (1 + static_cast<std::size_t>(clusters - 1) *
                    static_cast<std::size_t>(local_trials(clusters)));
}

kmeans_result kmeans_fit(const kmeans_input& in) {
#if defined(__x86_64__) || defined(__i386__)
    // OpenBLAS picks fused kernels on processors that have the instruction.
    static const bool fused = __builtin_cpu_supports("fma");
#else
    constexpr bool fused = true;
#endif
    return fused ? fit_fused(in) : fit_plain(in);
}

}  // namespace huesift::clustering
