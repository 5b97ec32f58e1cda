#include "update.hpp"

#include <algorithm>
#include <numeric>

namespace huesift::clustering::kmeans {

namespace {

// np.max(distances) == 0: every colour exactly on its centre.
bool all_on_their_centres(const colours& x, const centre_set& centres,
                          const std::vector<std::int32_t>& labels) {
    for (std::size_t c = 0; c < x.size; ++c) {
        const centre& m = centres.exact(labels[c]);
        for (int ch = 0; ch < 3; ++ch) {
            if (m.count * x.values[c][ch] != m.sum[ch]) {
                return false;
            }
        }
    }
    return true;
}

// _relocate_empty_clusters_dense: each empty cluster takes one of the pixels farthest from
// their centres, which leaves its cluster. The farthest come first; among pixels equally far,
// those of the colour that appears first. (scikit-learn picks with argpartition, whose choice
// among equal distances depends on NumPy's build.)
void relocate(const colours& x, const centre_set& centres, const std::vector<std::int32_t>& labels,
              const std::vector<int>& empty, std::vector<centre>& sums) {
    auto farther = [&](std::size_t a, std::size_t b) {
        const double da = squared_distance(x, a, centres.at(labels[a]));
        const double db = squared_distance(x, b, centres.at(labels[b]));
        if (std::abs(da - db) > 2 * rounding) {
            return da > db;
        }
        const auto order = compare_distances(x.values[a], centres.exact(labels[a]), x.values[b],
                                             centres.exact(labels[b]));
        return order > 0 || (order == 0 && a < b);
    };
    std::vector<std::size_t> order(x.size);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const std::size_t wanted = std::min(order.size(), empty.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(wanted),
                      order.end(), farther);
    std::size_t colour = 0;
    std::int64_t taken = 0;
    for (int j : empty) {
        while (taken == x.counts[order[colour]]) {
            ++colour;
            taken = 0;
        }
        ++taken;
        const std::size_t c = order[colour];
        centre& from = sums[static_cast<std::size_t>(labels[c])];
        for (int ch = 0; ch < 3; ++ch) {
            from.sum[ch] -= x.values[c][ch];
        }
        --from.count;
        sums[static_cast<std::size_t>(j)] =
            centre{{x.values[c][0], x.values[c][1], x.values[c][2]}, 1};
    }
}

}  // namespace

bool update(const colours& x, const centre_set& centres, const std::vector<std::int32_t>& labels,
            const std::vector<centre>& members, centre_set& moved) {
    const int k = centres.size();
    std::vector<centre> sums = members;
    std::vector<int> empty;
    for (int j = 0; j < k; ++j) {
        if (sums[static_cast<std::size_t>(j)].count == 0) {
            empty.push_back(j);
        }
    }
    if (!empty.empty() && !all_on_their_centres(x, centres, labels)) {
        relocate(x, centres, labels, empty, sums);
    }
    std::size_t heaviest = 0;
    for (std::size_t j = 1; j < sums.size(); ++j) {
        if (sums[j].count > sums[heaviest].count) {
            heaviest = j;
        }
    }
    for (int j = 0; j < k; ++j) {
        const centre& s = sums[static_cast<std::size_t>(j)];
        if (s.count > 0) {
            moved.set(j, s);
        } else if (heaviest < static_cast<std::size_t>(j)) {
            moved.set(j, moved.exact(static_cast<int>(heaviest)));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace huesift::clustering::kmeans
