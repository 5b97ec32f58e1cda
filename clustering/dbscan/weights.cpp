#include "weights.hpp"

#include "preparation/parallel.hpp"

namespace huesift::clustering::dbscan {

namespace {

// acc[z] += weight of the row's interval around z, for z in lo ..= hi. The one hot loop.
HUESIFT_WIDE_VECTORS
void add_interval_weights(std::int32_t* __restrict acc, const std::int32_t* __restrict above,
                          const std::int32_t* __restrict below, int lo, int hi) {
    for (int z = lo; z <= hi; ++z) {
        acc[z] += above[z] - below[z];
    }
}

}  // namespace

weight_rows::weight_rows(const std::vector<colour>& values, const std::vector<std::int64_t>& counts,
                         const std::vector<std::uint32_t>& by_key, const axes& ax, int pad)
    : pad_(pad), length_(static_cast<std::size_t>(257 + 2 * pad)), first_(65537, 0) {
    for (const std::uint32_t i : by_key) {
        ++first_[row_of(values[i], ax) + 1];
    }
    std::partial_sum(first_.begin(), first_.end(), first_.begin());
    slot_.assign(65536, -1);
    std::int32_t rows = 0;
    for (std::size_t r = 0; r < 65536; ++r) {
        if (first_[r + 1] > first_[r]) {
            slot_[r] = rows++;
        }
    }
    sums_.assign(static_cast<std::size_t>(rows) * length_, 0);
    for (std::size_t r = 0; r < 65536; ++r) {
        if (slot_[r] < 0) {
            continue;
        }
        std::int32_t* row = sums_.data() + static_cast<std::size_t>(slot_[r]) * length_;
        for (std::uint32_t k = first_[r]; k < first_[r + 1]; ++k) {
            const std::uint32_t i = by_key[k];
            row[static_cast<std::size_t>(ax.of(values[i], 2) + 1 + pad)] =
                static_cast<std::int32_t>(counts[i]);
        }
        std::partial_sum(row, row + length_, row);
    }
}

std::vector<std::int64_t> neighbourhood_weights(const std::vector<colour>& values,
                                                const std::vector<std::uint32_t>& by_key,
                                                const std::vector<std::uint8_t>& state,
                                                const weight_rows& rows, const ball_shape& ball,
                                                const axes& ax, unsigned threads) {
    constexpr int tile = 16;
    std::vector<std::int64_t> weight(values.size(), 0);
    bool wanted[256] = {};
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (state[i] == unknown) {
            wanted[(ax.of(values[i], 0) / tile) << 4 | ax.of(values[i], 1) / tile] = true;
        }
    }
    std::vector<std::uint32_t> busy;
    for (std::uint32_t t = 0; t < 256; ++t) {
        if (wanted[t]) {
            busy.push_back(t);
        }
    }
    const unsigned workers = workers_for(busy.size(), threads);
    std::vector<std::int32_t> scratch(static_cast<std::size_t>(workers) * tile * tile * 256);
    const int pad = rows.pad();
    struct centre {
        int x, y, lo, hi;
        std::int32_t* acc;
        std::size_t sparse_at, sparse_end;  // into the task's z list; equal for the whole span
    };
    parallel_for(busy.size(), workers, [&](std::size_t task, unsigned worker) {
        const int x0 = static_cast<int>(busy[task] >> 4) * tile;
        const int y0 = static_cast<int>(busy[task] & 15) * tile;
        std::int32_t* acc = scratch.data() + static_cast<std::size_t>(worker) * tile * tile * 256;
        std::vector<centre> centres;
        std::vector<int> zs;
        for (int x = x0; x < x0 + tile; ++x) {
            for (int y = y0; y < y0 + tile; ++y) {
                const std::size_t r = static_cast<std::size_t>(x << 8 | y);
                const std::size_t at = zs.size();
                for (std::uint32_t k = rows.begin(r); k < rows.end(r); ++k) {
                    if (state[by_key[k]] == unknown) {
                        zs.push_back(ax.of(values[by_key[k]], 2));
                    }
                }
                if (zs.size() == at) {
                    continue;
                }
                const int lo = zs[at];
                const int hi = zs.back();
                std::int32_t* a = acc + static_cast<std::size_t>(centres.size()) * 256;
                std::fill(a + lo, a + hi + 1, 0);
                const bool sparse = 8 * (zs.size() - at) < static_cast<std::size_t>(hi - lo + 1);
                centres.push_back({x, y, lo, hi, a, at, sparse ? zs.size() : at});
            }
        }
        const int sx_end = std::min(255, x0 + tile - 1 + ball.reach[0]);
        const int sy_end = std::min(255, y0 + tile - 1 + ball.reach[1]);
        for (int sx = std::max(0, x0 - ball.reach[0]); sx <= sx_end; ++sx) {
            for (int sy = std::max(0, y0 - ball.reach[1]); sy <= sy_end; ++sy) {
                const std::int32_t* source = rows.row(sx, sy);
                if (source == nullptr) {
                    continue;
                }
                for (const centre& c : centres) {
                    const int h = ball.at(sx - c.x, sy - c.y);
                    if (h < 0) {
                        continue;
                    }
                    const std::int32_t* above = source + h + 1 + pad;
                    const std::int32_t* below = source + pad - h;
                    if (c.sparse_at == c.sparse_end) {
                        add_interval_weights(c.acc, above, below, c.lo, c.hi);
                        continue;
                    }
                    for (std::size_t k = c.sparse_at; k < c.sparse_end; ++k) {
                        c.acc[zs[k]] += above[zs[k]] - below[zs[k]];
                    }
                }
            }
        }
        for (const centre& c : centres) {
            const std::size_t r = static_cast<std::size_t>(c.x << 8 | c.y);
            for (std::uint32_t k = rows.begin(r); k < rows.end(r); ++k) {
                const std::uint32_t i = by_key[k];
                if (state[i] == unknown) {
                    weight[i] = c.acc[ax.of(values[i], 2)];
                }
            }
        }
    });
    return weight;
}

void add_borderline(const std::vector<colour>& values, const std::vector<std::uint8_t>& state,
                    const weight_rows& rows, const ball_shape& ball, const axes& ax,
                    const metric& m, std::vector<std::int64_t>& weight, unsigned threads) {
    if (ball.borderline.empty()) {
        return;
    }
    const int pad = rows.pad();
    parallel_for(values.size(), workers_for(values.size(), threads), [&](std::size_t i, unsigned) {
        if (state[i] != unknown) {
            return;
        }
        const colour& p = values[i];
        for (const offset& o : ball.borderline) {
            const int x = ax.of(p, 0) + o[0];
            const int y = ax.of(p, 1) + o[1];
            const int z = ax.of(p, 2) + o[2];
            if (x < 0 || x > 255 || y < 0 || y > 255 || z < 0 || z > 255) {
                continue;
            }
            const std::int32_t* source = rows.row(x, y);
            if (source == nullptr) {
                continue;
            }
            const std::int32_t w = source[z + 1 + pad] - source[z + pad];
            colour q{};
            q[static_cast<std::size_t>(ax.channel[0])] = static_cast<std::uint8_t>(x);
            q[static_cast<std::size_t>(ax.channel[1])] = static_cast<std::uint8_t>(y);
            q[static_cast<std::size_t>(ax.channel[2])] = static_cast<std::uint8_t>(z);
            if (w > 0 && m.within(p.data(), q.data())) {
                weight[i] += w;
            }
        }
    });
}

}  // namespace huesift::clustering::dbscan
