#include "label_counts.hpp"

namespace huesift::clustering {

std::vector<double> shares_of(const std::vector<std::int64_t>& counts) {
    std::int64_t total = 0;
    for (std::int64_t c : counts) {
        total += c;
    }
    std::vector<double> shares;
    for (std::int64_t c : counts) {
        if (c > 0) {
            shares.push_back(static_cast<double>(c) / static_cast<double>(total) * 100.0);
        }
    }
    return shares;
}

}  // namespace huesift::clustering
