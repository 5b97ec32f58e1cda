#include "cells.hpp"

#include "preparation/parallel.hpp"

#include <algorithm>
#include <utility>

namespace huesift::clustering::dbscan {

cell_grid::cell_grid(const std::vector<colour>& values, const std::vector<std::uint8_t>& core,
                     const axes& ax, const metric& m, const ball_shape& ball)
    : ax_(ax) {
    // As wide as a third of the ball along each axis, then narrowed until the cell's
    // own diagonal surely passes.
    for (int a = 0; a < 3; ++a) {
        side_[a] = std::max(1, static_cast<int>((ball.reach[a] + 1) / 1.75));
    }
    while (m.classify(ax.in_channels(side_[0] - 1, side_[1] - 1, side_[2] - 1)) <= 0) {
        int widest = 0;  // of the sides above 1, as they all are when the loop goes on
        for (int a = 1; a < 3; ++a) {
            if ((side_[a] - 1) * (ball.reach[widest] + 1) >
                (side_[widest] - 1) * (ball.reach[a] + 1)) {
                widest = a;
            }
        }
        --side_[widest];
    }
    members_ = order_by_digits(values.size(), [&](std::uint32_t i, int d) {
        return static_cast<std::size_t>(ax.of(values[i], d) / side_[d]);
    });
    cell_of_.resize(values.size());
    for (std::uint32_t k = 0; k < members_.size(); ++k) {
        const std::uint32_t i = members_[k];
        const std::uint32_t key = key_of(values[i]);
        if (cells_.empty() || cells_.back().key != key) {
            cells_.push_back({key, 0, 0, k, k});
        }
        ++cells_.back().end;
        cell_of_[i] = static_cast<std::uint32_t>(cells_.size() - 1);
    }
    for (cell& c : cells_) {
        c.core_begin = static_cast<std::uint32_t>(cores_.size());
        for (std::uint32_t k = c.begin; k < c.end; ++k) {
            if (core[members_[k]]) {
                cores_.push_back(members_[k]);
            }
        }
        c.core_end = static_cast<std::uint32_t>(cores_.size());
    }
    const int cells_across[3] = {255 / side_[0] + 1, 255 / side_[1] + 1, 255 / side_[2] + 1};
    int span[3];
    for (int a = 0; a < 3; ++a) {
        span[a] = std::min(cells_across[a] - 1, ball.reach[a] / side_[a] + 1);
    }
    for (int i = -span[0]; i <= span[0]; ++i) {
        for (int j = -span[1]; j <= span[1]; ++j) {
            for (int k = -span[2]; k <= span[2]; ++k) {
                if (m.classify(ax.in_channels(gap(i, 0), gap(j, 1), gap(k, 2))) >= 0) {
                    near_.push_back({i, j, k});
                }
            }
        }
    }
}

namespace {

bool later(const offset& o) {
    return o[0] > 0 || (o[0] == 0 && (o[1] > 0 || (o[1] == 0 && o[2] > 0)));
}

// Core colours within eps are connected; those of one cell already are, so cells are joined
// through one witness pair per pair of neighbouring cells not yet in one set.
union_find join_cells(const std::vector<colour>& values, const cell_grid& grid, const axes& ax,
                      const metric& m) {
    const auto& cells = grid.cells();
    const auto& cores = grid.cores();
    union_find sets(cells.size());
    for (std::size_t a = 0; a < cells.size(); ++a) {
        const auto& ca = cells[a];
        if (ca.core_begin == ca.core_end) {
            continue;
        }
        for (const offset& o : grid.near()) {
            if (!later(o)) {
                continue;
            }
            const std::int64_t b = grid.neighbour(ca, o);
            if (b < 0 ||
                cells[static_cast<std::size_t>(b)].core_begin ==
                    cells[static_cast<std::size_t>(b)].core_end ||
                sets.find(static_cast<std::uint32_t>(a)) ==
                    sets.find(static_cast<std::uint32_t>(b))) {
                continue;
            }
            const auto& cb = cells[static_cast<std::size_t>(b)];
            bool joined = false;
            for (std::uint32_t k = ca.core_begin; k < ca.core_end && !joined; ++k) {
                const colour& p = values[cores[k]];
                int nearest[3];
                int furthest[3];
                grid.steps(p, cb, nearest, furthest);
                const int cls = m.classify(ax.in_channels(nearest[0], nearest[1], nearest[2]));
                if (cls < 0) {
                    continue;
                }
                if (m.classify(ax.in_channels(furthest[0], furthest[1], furthest[2])) > 0) {
                    joined = true;
                    break;
                }
                for (std::uint32_t j = cb.core_begin; j < cb.core_end; ++j) {
                    if (m.within(p.data(), values[cores[j]].data())) {
                        joined = true;
                        break;
                    }
                }
            }
            if (joined) {
                sets.unite(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
            }
        }
    }
    return sets;
}

}  // namespace

std::int64_t label_clusters(const std::vector<colour>& values,
                            const std::vector<std::uint8_t>& core, const axes& ax, const metric& m,
                            const ball_shape& ball, std::vector<std::int64_t>& cluster_of,
                            unsigned threads) {
    const cell_grid grid(values, core, ax, m, ball);
    union_find sets = join_cells(values, grid, ax, m);
    const auto& cells = grid.cells();
    const auto& cores = grid.cores();

    // Clusters are numbered in the order of their first core pixel.
    std::vector<std::int64_t> cluster_of_set(cells.size(), -1);
    std::vector<std::int64_t> cell_label(cells.size(), -1);
    cluster_of.assign(values.size(), -1);
    std::int64_t clusters = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (core[i]) {
            const std::uint32_t c = grid.cell_of(static_cast<std::uint32_t>(i));
            const std::uint32_t root = sets.find(c);
            if (cluster_of_set[root] < 0) {
                cluster_of_set[root] = clusters++;
            }
            cell_label[c] = cluster_of[i] = cluster_of_set[root];
        }
    }

    // A border colour joins the earliest-numbered cluster with a core colour within eps,
    // as the cluster expanded first claims it.
    parallel_for(
        cells.size(), workers_for(cells.size() / 16, threads), [&](std::size_t a, unsigned) {
            const auto& ca = cells[a];
            if (ca.end - ca.begin == ca.core_end - ca.core_begin) {
                return;
            }
            std::vector<std::pair<std::int64_t, std::uint32_t>> candidates;
            for (const offset& o : grid.near()) {
                const std::int64_t b = grid.neighbour(ca, o);
                if (b >= 0 && cell_label[static_cast<std::size_t>(b)] >= 0) {
                    candidates.emplace_back(cell_label[static_cast<std::size_t>(b)],
                                            static_cast<std::uint32_t>(b));
                }
            }
            std::sort(candidates.begin(), candidates.end());
            for (std::uint32_t k = ca.begin; k < ca.end; ++k) {
                const std::uint32_t i = grid.members()[k];
                if (core[i]) {
                    continue;
                }
                const colour& p = values[i];
                for (const auto& [label, b] : candidates) {
                    const auto& cb = cells[b];
                    int nearest[3];
                    int furthest[3];
                    grid.steps(p, cb, nearest, furthest);
                    if (m.classify(ax.in_channels(nearest[0], nearest[1], nearest[2])) < 0) {
                        continue;
                    }
                    bool found =
                        m.classify(ax.in_channels(furthest[0], furthest[1], furthest[2])) > 0;
                    for (std::uint32_t j = cb.core_begin; j < cb.core_end && !found; ++j) {
                        found = m.within(p.data(), values[cores[j]].data());
                    }
                    if (found) {
                        cluster_of[i] = label;
                        break;
                    }
                }
            }
        });
    return clusters;
}

}  // namespace huesift::clustering::dbscan
