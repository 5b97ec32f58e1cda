// The engine with fused multiply-adds; on x86 this file alone is built for processors with
// FMA, and it runs only on those.
#include "kmeans_engine.hpp"

namespace huesift::clustering {

kmeans_result fit_fused(const kmeans_input& in) { return engine<true>(in).fit(); }

}  // namespace huesift::clustering
