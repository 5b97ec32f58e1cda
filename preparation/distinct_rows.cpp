#include "distinct_rows.hpp"

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
    auto key_of = [&](std::ptrdiff_t i) {
        const std::uint8_t* px = data + i * row_stride;
        return (std::uint32_t{px[0]} << 16) | (std::uint32_t{px[channel_stride]} << 8) |
               px[2 * channel_stride];
    };
    // Photos hold more colours than the nearest caches do: the slot of a row a little ahead is
    // fetched while this one is looked up.
    constexpr std::ptrdiff_t ahead = 16;
    std::uint32_t fresh = 0;
    std::vector<std::int64_t> counts;
    for (std::ptrdiff_t i = 0; i < in.rows; ++i) {
        if (i + ahead < in.rows) {
            table.prefetch(key_of(i + ahead));
        }
        const std::uint32_t key = key_of(i);
        const auto a = static_cast<std::uint8_t>(key >> 16);
        const auto b = static_cast<std::uint8_t>(key >> 8);
        const auto c = static_cast<std::uint8_t>(key);
        const std::uint32_t id = table.find_or_add(key, fresh);
        if (id == fresh) {
            ++fresh;
            out.values.push_back({a, b, c});
            out.first.push_back(i);
            counts.push_back(0);
        }
        ++counts[id];
        index[i] = id;
    }
    out.counts = std::move(counts);
}

}  // namespace

distinct_rows find_distinct_rows(const byte_rows& in, std::uint32_t* index) {
    distinct_rows out;
    out.rows = static_cast<std::size_t>(in.rows);
    if (index == nullptr) {
        out.owned.reset(new std::uint32_t[out.rows]);
        index = out.owned.get();
    }
    out.index = index;
    if (in.rows >= direct_from) {
        colour_table table;
        number_rows(in, table, out);
    } else {
        colour_hash table(static_cast<std::size_t>(in.rows));
        number_rows(in, table, out);
    }
    return out;
}

}  // namespace huesift::preparation
