#include "distinct_rows.hpp"

#include "parallel.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <new>

namespace huesift::preparation {

namespace {

constexpr std::size_t colour_count = std::size_t{1} << 24;
// From this many rows on, a direct table over every colour (64 MiB) costs at most 16 bytes a
// row and beats hashing.
constexpr std::ptrdiff_t direct_from = std::ptrdiff_t{1} << 22;

// A colour's key in every table: its three bytes in one word, the first highest.
std::uint32_t key_of(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    return (std::uint32_t{a} << 16) | (std::uint32_t{b} << 8) | c;
}
std::uint32_t key_of(const std::array<std::uint8_t, 3>& v) { return key_of(v[0], v[1], v[2]); }

// Open addressing with linear probing; a slot holds key + 1, so 0 is empty, beside its number,
// so that a probe touches one cache line. Photos hold far fewer colours than pixels: the table
// starts small and doubles when half full, so that it stays in the caches.
class colour_hash {
public:
    explicit colour_hash(std::size_t rows)
        : slots_(std::bit_ceil(std::clamp(2 * rows, std::size_t{16}, std::size_t{1} << 16)),
                 slot{0, 0}),
          mask_(slots_.size() - 1),
          shift_(64 - std::countr_zero(slots_.size())) {}

    // The number stored for key, or `fresh` (now stored) when the key is new.
    std::uint32_t find_or_add(std::uint32_t key, std::uint32_t fresh) {
        std::size_t at = place(key);
        while (slots_[at].key != 0) {
            if (slots_[at].key == key + 1) {
                return slots_[at].id;
            }
            at = (at + 1) & mask_;
        }
        slots_[at] = slot{key + 1, fresh};
        if (2 * (++used_) > slots_.size()) {
            grow();
        }
        return fresh;
    }

    void prefetch(std::uint32_t key) const { __builtin_prefetch(&slots_[place(key)]); }

private:
    struct slot {
        std::uint32_t key;
        std::uint32_t id;
    };

    // Fibonacci hashing: the product's high bits, which every bit of the key stirs.
    std::size_t place(std::uint32_t key) const {
        return static_cast<std::size_t>((std::uint64_t{key} * 0x9E3779B97F4A7C15u) >> shift_);
    }

    void grow() {
        std::vector<slot> old(2 * slots_.size(), slot{0, 0});
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        --shift_;
        for (const slot& s : old) {
            if (s.key != 0) {
                std::size_t at = place(s.key - 1);
                while (slots_[at].key != 0) {
                    at = (at + 1) & mask_;
                }
                slots_[at] = s;
            }
        }
    }

    std::vector<slot> slots_;
    std::size_t mask_;
    int shift_;
    std::size_t used_ = 0;
};

// Zero means "not seen", so the table starts as untouched zero pages: only the pages of
// colours that occur are ever written.
class colour_table {
public:
    colour_table()
        : ids_(static_cast<std::uint32_t*>(std::calloc(colour_count, sizeof(std::uint32_t)))) {
        if (ids_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~colour_table() { std::free(ids_); }
    colour_table(const colour_table&) = delete;
    colour_table& operator=(const colour_table&) = delete;

    std::uint32_t find_or_add(std::uint32_t key, std::uint32_t fresh) {
        std::uint32_t& slot = ids_[key];
        if (slot == 0) {
            slot = fresh + 1;
        }
        return slot - 1;
    }

    void prefetch(std::uint32_t key) const { __builtin_prefetch(&ids_[key]); }

private:
    std::uint32_t* ids_;
};

template <class Table>
void number_rows(const byte_rows& in, Table& table, distinct_rows& out) {
    // Locals rather than members in the loop: the compiler cannot prove the stores to
    // `index` leave the vectors alone.
    std::uint32_t* index = out.index;
    const std::uint8_t* data = in.data;
    const std::ptrdiff_t row_stride = in.row_stride;
    const std::ptrdiff_t channel_stride = in.channel_stride;
    auto key_at = [&](std::ptrdiff_t i) {
        const std::uint8_t* px = data + i * row_stride;
        return key_of(px[0], px[channel_stride], px[2 * channel_stride]);
    };
    // Photos hold more colours than the nearest caches do: the slot of a row a little ahead is
    // fetched while this one is looked up.
    constexpr std::ptrdiff_t ahead = 16;
    std::uint32_t fresh = 0;
    for (std::ptrdiff_t i = 0; i < in.rows; ++i) {
        if (i + ahead < in.rows) {
            table.prefetch(key_at(i + ahead));
        }
        const std::uint32_t key = key_at(i);
        const auto a = static_cast<std::uint8_t>(key >> 16);
        const auto b = static_cast<std::uint8_t>(key >> 8);
        const auto c = static_cast<std::uint8_t>(key);
        const std::uint32_t id = table.find_or_add(key, fresh);
        if (id == fresh) {
            ++fresh;
            out.values.push_back({a, b, c});
            out.first.push_back(i);
        }
        index[i] = id;
    }
    // Counted apart from the lookups: increments that depend on no lookup overlap one another
    // (a third faster, measured).
    std::vector<std::int64_t> counts(fresh, 0);
    for (std::ptrdiff_t i = 0; i < in.rows; ++i) {
        ++counts[index[i]];
    }
    out.counts = std::move(counts);
}

// Rows a thread takes at least: on fewer, threads measured no faster than one (the work is
// bound by the caches, not by the core).
constexpr std::ptrdiff_t rows_per_thread = std::ptrdiff_t{1} << 20;

// The rows numbered in consecutive parts, a thread each, each part with a hash table of its
// own; then the later parts' values looked up, part after part, in the first part's table,
// which numbers the values new to it after all those before. A value first met in a later part
// is first met there in the whole input too, so the numbers come in order of first occurrence,
// as from one pass. Last, the later parts' rows renumbered. (Direct tables, 64 MiB a part,
// whose pages the parts fault in at once, measured slower than hashing here.)
void number_in_parts(const byte_rows& in, unsigned parts, distinct_rows& out) {
    auto start = [&](std::size_t p) {
        return in.rows * static_cast<std::ptrdiff_t>(p) / parts;
    };
    std::vector<distinct_rows> part(parts);
    colour_hash first(static_cast<std::size_t>(start(1)));
    parallel_for(parts, parts, [&](std::size_t p, unsigned) {
        const byte_rows rows{in.data + start(p) * in.row_stride, start(p + 1) - start(p),
                             in.row_stride, in.channel_stride};
        part[p].index = out.index + start(p);
        if (p == 0) {
            number_rows(rows, first, part[p]);
        } else {
            colour_hash own(static_cast<std::size_t>(rows.rows));
            number_rows(rows, own, part[p]);
        }
    });
    out.values = std::move(part[0].values);
    out.counts = std::move(part[0].counts);
    out.first = std::move(part[0].first);
    std::vector<std::vector<std::uint32_t>> renumber(parts);
    for (std::size_t p = 1; p < parts; ++p) {
        const distinct_rows& own = part[p];
        renumber[p].resize(own.values.size());
        for (std::size_t v = 0; v < own.values.size(); ++v) {
            if (v + 16 < own.values.size()) {
                first.prefetch(key_of(own.values[v + 16]));
            }
            const auto fresh = static_cast<std::uint32_t>(out.values.size());
            const std::uint32_t id = first.find_or_add(key_of(own.values[v]), fresh);
            if (id == fresh) {
                out.values.push_back(own.values[v]);
                out.first.push_back(own.first[v] + start(p));
                out.counts.push_back(0);
            }
            out.counts[id] += own.counts[v];
            renumber[p][v] = id;
        }
    }
    // The later parts' rows, in as many pieces as parts, whichever part they fall in.
    const std::ptrdiff_t from = start(1);
    const std::ptrdiff_t later = in.rows - from;
    parallel_for(parts, parts, [&](std::size_t piece, unsigned) {
        std::ptrdiff_t i = from + later * static_cast<std::ptrdiff_t>(piece) / parts;
        const std::ptrdiff_t end = from + later * static_cast<std::ptrdiff_t>(piece + 1) / parts;
        std::size_t p = 1;
        while (start(p + 1) <= i) {
            ++p;
        }
        while (i < end) {
            const std::ptrdiff_t stop = std::min(end, start(p + 1));
            const std::uint32_t* to = renumber[p].data();
            for (; i < stop; ++i) {
                out.index[i] = to[out.index[i]];
            }
            ++p;
        }
    });
}

}  // namespace

distinct_rows find_distinct_rows(const byte_rows& in, std::uint32_t* index, unsigned threads) {
    distinct_rows out;
    out.rows = static_cast<std::size_t>(in.rows);
    if (index == nullptr) {
        out.owned.reset(new std::uint32_t[out.rows]);
        index = out.owned.get();
    }
    out.index = index;
    const auto parts = static_cast<unsigned>(std::clamp<std::ptrdiff_t>(
        in.rows / rows_per_thread, 1, static_cast<std::ptrdiff_t>(std::max(threads, 1u))));
    if (parts > 1) {
        number_in_parts(in, parts, out);
    } else if (in.rows >= direct_from) {
        colour_table table;
        number_rows(in, table, out);
    } else {
        colour_hash table(static_cast<std::size_t>(in.rows));
        number_rows(in, table, out);
    }
    return out;
}

}  // namespace huesift::preparation
