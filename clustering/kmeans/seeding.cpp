// k-means++ as scikit-learn's _kmeans_plusplus runs it (greedy, with local trials), in whole
// numbers: the squared distance between two 8-bit colours is an integer, and so are the
// potentials and the running sums the draws search.
#include "seeding.hpp"

#include "preparation/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace huesift::clustering::kmeans {

namespace {

constexpr std::size_t block = colour_blocks::block;

std::uint32_t squared_distance(const colour& a, const colour& b) {
    std::uint32_t total = 0;
    for (int ch = 0; ch < 3; ++ch) {
        const int d = int{a[ch]} - int{b[ch]};
        total += static_cast<std::uint32_t>(d * d);
    }
    return total;
}

// The sum of weight[index[i]] over a stretch of pixels; below 2^32 for up to 2^14 pixels. One
// load at a time: measured faster than eight to a gather instruction (AMD Zen 3, photos of the
// corpus: by a quarter at 0.3 megapixels, a twentieth at 12).
// Four sums taken in turn and kept apart from the vector unit: left to itself, the compiler
// packs the loads into vectors a lane at a time, which costs more than the additions it saves.
__attribute__((optimize("no-tree-vectorize", "no-tree-slp-vectorize"))) std::uint32_t stretch_sum(
    const std::uint32_t* index, const std::uint32_t* weight, std::size_t n) {
    std::uint32_t part[4] = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        part[0] += weight[index[i]];
        part[1] += weight[index[i + 1]];
        part[2] += weight[index[i + 2]];
        part[3] += weight[index[i + 3]];
    }
    for (; i < n; ++i) {
        part[0] += weight[index[i]];
    }
    return (part[0] + part[1]) + (part[2] + part[3]);
}

// Squared distances between 8-bit colours are below 2^18 and potentials below 2^50: whole
// numbers, added in any order, so the loops run a vector at a time.
HUESIFT_WIDE_VECTORS
std::uint64_t potential(const colours& x, const std::vector<std::int32_t>& distance) {
    const std::int32_t* w = x.weight.data();
    const std::int32_t* d = distance.data();
    std::int64_t total = 0;
    for (std::size_t c = 0; c < x.size; ++c) {
        total += static_cast<std::int64_t>(w[c]) * d[c];
    }
    return static_cast<std::uint64_t>(total);
}

// The potentials if each of `count` candidates (at most four) joined the centres, in one pass
// over the colours; as many as are measured, so that three trials measure three.
template <int count>
HUESIFT_WIDE_VECTORS void potentials_plain(const colours& x, const std::int32_t* d,
                                           const colour* candidate, std::uint64_t* out) {
    const std::int32_t* w = x.weight.data();
    const std::uint8_t* x0 = x.channel[0].data();
    const std::uint8_t* x1 = x.channel[1].data();
    const std::uint8_t* x2 = x.channel[2].data();
    std::int32_t at[count][3];
    for (int t = 0; t < count; ++t) {
        for (int ch = 0; ch < 3; ++ch) {
            at[t][ch] = candidate[t][static_cast<std::size_t>(ch)];
        }
    }
    std::int64_t total[count] = {};
    for (std::size_t c = 0; c < x.size; ++c) {
        for (int t = 0; t < count; ++t) {
            const std::int32_t e0 = x0[c] - at[t][0], e1 = x1[c] - at[t][1], e2 = x2[c] - at[t][2];
            const std::int32_t to_candidate = e0 * e0 + e1 * e1 + e2 * e2;
            const std::int32_t near = to_candidate < d[c] ? to_candidate : d[c];
            total[t] += static_cast<std::int64_t>(w[c]) * near;
        }
    }
    for (int t = 0; t < count; ++t) {
        out[t] = static_cast<std::uint64_t>(total[t]);
    }
}

// Whether the AVX2 loops below may run here.
bool wide_available() {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return avx2;
#else
    return false;
#endif
}

#if defined(__x86_64__)
// Eight bytes from p, each a 32-bit lane.
__attribute__((target("avx2"), always_inline)) inline __m256i bytes(const std::uint8_t* p) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// The same, eight colours at a time, the weighted distances summed in doubles: every product
// and partial sum is a whole number below 2^53, so each is exact and the order changes nothing.
// (Their share of a 0.3-megapixel call falls from 7.2 to 4.2 % against what the compiler makes of
// the loop above, which widens to 64-bit integer products: AMD Zen 3, photos of the corpus.)
template <int count>
__attribute__((target("avx2,fma"))) void potentials_wide(const colours& x, const std::int32_t* d,
                                                         const colour* candidate,
                                                         std::uint64_t* out) {
    const std::int32_t* w = x.weight.data();
    const std::uint8_t* x0 = x.channel[0].data();
    const std::uint8_t* x1 = x.channel[1].data();
    const std::uint8_t* x2 = x.channel[2].data();
    __m256i at[count][3];
    __m256d low[count], high[count];
    for (int t = 0; t < count; ++t) {
        for (int ch = 0; ch < 3; ++ch) {
            at[t][ch] = _mm256_set1_epi32(candidate[t][static_cast<std::size_t>(ch)]);
        }
        at[t][0] = _mm256_or_si256(at[t][0], _mm256_slli_epi32(at[t][1], 16));
        low[t] = high[t] = _mm256_setzero_pd();
    }
    const std::size_t whole = x.size - x.size % 8;
    for (std::size_t c = 0; c < whole; c += 8) {
        // Two channels a lane, a 16-bit half each, so that one multiply-add squares and sums
        // their differences (below 2^9 in size: no half carries into the other).
        const __m256i v01 = _mm256_or_si256(bytes(x0 + c), _mm256_slli_epi32(bytes(x1 + c), 16));
        const __m256i v2 = bytes(x2 + c);
        const __m256i closest = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + c));
        const __m128i weights = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + c));
        const __m256d w_low = _mm256_cvtepi32_pd(weights);
        const __m256d w_high =
            _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + c + 4)));
        for (int t = 0; t < count; ++t) {
            const __m256i e01 = _mm256_sub_epi16(v01, at[t][0]);
            const __m256i e2 = _mm256_sub_epi16(v2, at[t][2]);
            const __m256i squared =
                _mm256_add_epi32(_mm256_madd_epi16(e01, e01), _mm256_madd_epi16(e2, e2));
            const __m256i near = _mm256_min_epi32(squared, closest);
            low[t] =
                _mm256_fmadd_pd(w_low, _mm256_cvtepi32_pd(_mm256_castsi256_si128(near)), low[t]);
            high[t] = _mm256_fmadd_pd(w_high, _mm256_cvtepi32_pd(_mm256_extracti128_si256(near, 1)),
                                      high[t]);
        }
    }
    for (int t = 0; t < count; ++t) {
        alignas(32) double lanes[4];
        _mm256_store_pd(lanes, _mm256_add_pd(low[t], high[t]));
        std::uint64_t total = 0;
        for (double lane : lanes) {
            total += static_cast<std::uint64_t>(lane);
        }
        for (std::size_t c = whole; c < x.size; ++c) {
            const auto to_candidate =
                static_cast<std::int32_t>(squared_distance(x.values[c], candidate[t]));
            total += static_cast<std::uint64_t>(w[c]) *
                     static_cast<std::uint64_t>(std::min(to_candidate, d[c]));
        }
        out[t] = total;
    }
}
#endif

template <int count>
void potentials_of(const colours& x, const std::int32_t* closest, const colour* candidate,
                   std::uint64_t* out, bool wide) {
#if defined(__x86_64__)
    if (wide && wide_available()) {
        return potentials_wide<count>(x, closest, candidate, out);
    }
#else
    (void)wide;
#endif
    potentials_plain<count>(x, closest, candidate, out);
}

}  // namespace

void potentials_with(const colours& x, const std::int32_t* closest, const colour* candidate,
                     std::size_t count, std::uint64_t* out, bool wide) {
    switch (count) {
        case 1: return potentials_of<1>(x, closest, candidate, out, wide);
        case 2: return potentials_of<2>(x, closest, candidate, out, wide);
        case 3: return potentials_of<3>(x, closest, candidate, out, wide);
        default: return potentials_of<4>(x, closest, candidate, out, wide);
    }
}

namespace {

// The chosen candidate becomes centre j: each colour's nearest and next distance, and its
// label, the first centre when two are as near; with `follow`, how far its nearest distance
// fell, and the entries (colour_blocks) of the colours that moved. Without, neither is kept:
// the draws then sum the pixels afresh.
template <bool follow>
HUESIFT_WIDE_VECTORS std::uint64_t join_centre(
    std::size_t n, const std::uint8_t* __restrict x0, const std::uint8_t* __restrict x1,
    const std::uint8_t* __restrict x2, const colour& chosen, int j,
    std::int32_t* __restrict nearest, std::int32_t* __restrict next,
    std::int32_t* __restrict labels, std::int32_t* __restrict drop,
    const std::uint32_t* __restrict start) {
    const std::int32_t c0 = chosen[0], c1 = chosen[1], c2 = chosen[2];
    std::uint64_t moved = 0;
    for (std::size_t c = 0; c < n; ++c) {
        const std::int32_t e0 = x0[c] - c0, e1 = x1[c] - c1, e2 = x2[c] - c2;
        const std::int32_t d = e0 * e0 + e1 * e1 + e2 * e2;
        const std::int32_t was = nearest[c];
        const std::int32_t after = next[c];
        const bool nearer = d < was;
        next[c] = nearer ? was : d < after ? d : after;
        labels[c] = nearer ? j : labels[c];
        nearest[c] = nearer ? d : was;
        if constexpr (follow) {
            drop[c] = nearer ? was - d : 0;
            moved += nearer ? start[c + 1] - start[c] : 0;
        }
    }
    return moved;
}

#if defined(__x86_64__)
// join_centre<false> eight colours at a time, the squared distances made as the potentials
// make them (a fifth of the seeding's passes over the colours, a 0.3-megapixel call's 3 %).
__attribute__((target("avx2"))) void join_centre_wide(std::size_t n, const std::uint8_t* x0,
                                                      const std::uint8_t* x1,
                                                      const std::uint8_t* x2, const colour& chosen,
                                                      int j, std::int32_t* nearest,
                                                      std::int32_t* next, std::int32_t* labels) {
    const __m256i c01 = _mm256_set1_epi32(chosen[0] | chosen[1] << 16);
    const __m256i c2 = _mm256_set1_epi32(chosen[2]);
    const __m256i label = _mm256_set1_epi32(j);
    const std::size_t whole = n - n % 8;
    for (std::size_t c = 0; c < whole; c += 8) {
        const __m256i e01 = _mm256_sub_epi16(
            _mm256_or_si256(bytes(x0 + c), _mm256_slli_epi32(bytes(x1 + c), 16)), c01);
        const __m256i e2 = _mm256_sub_epi16(bytes(x2 + c), c2);
        const __m256i d = _mm256_add_epi32(_mm256_madd_epi16(e01, e01), _mm256_madd_epi16(e2, e2));
        auto* at_nearest = reinterpret_cast<__m256i*>(nearest + c);
        auto* at_next = reinterpret_cast<__m256i*>(next + c);
        auto* at_label = reinterpret_cast<__m256i*>(labels + c);
        const __m256i was = _mm256_loadu_si256(at_nearest);
        const __m256i nearer = _mm256_cmpgt_epi32(was, d);
        _mm256_storeu_si256(
            at_next,
            _mm256_blendv_epi8(_mm256_min_epi32(d, _mm256_loadu_si256(at_next)), was, nearer));
        _mm256_storeu_si256(at_label,
                            _mm256_blendv_epi8(_mm256_loadu_si256(at_label), label, nearer));
        _mm256_storeu_si256(at_nearest, _mm256_min_epi32(d, was));
    }
    join_centre<false>(n - whole, x0 + whole, x1 + whole, x2 + whole, chosen, j, nearest + whole,
                       next + whole, labels + whole, nullptr, nullptr);
}
#endif

}  // namespace

void join_nearest(const colours& x, const colour& chosen, int j, std::int32_t* nearest,
                  std::int32_t* next, std::int32_t* labels, bool wide) {
#if defined(__x86_64__)
    if (wide && wide_available()) {
        join_centre_wide(x.size, x.channel[0].data(), x.channel[1].data(), x.channel[2].data(),
                         chosen, j, nearest, next, labels);
        return;
    }
#else
    (void)wide;
#endif
    join_centre<false>(x.size, x.channel[0].data(), x.channel[1].data(), x.channel[2].data(),
                       chosen, j, nearest, next, labels, nullptr, nullptr);
}

namespace {

// The running sums follow the colours that came nearer, or are counted anew from the pixels
// when those colours have more than one entry for every four pixels (where the two cost about
// the same on 12-megapixel photos: a gather reads eight pixels at once).
void join_centre(const colours& x, const kmeans_input& in, const colour_blocks& where,
                 const colour& chosen, int j, seeding& out, std::vector<std::int32_t>& drop,
                 draw_search& search) {
    if (!where.indexed()) {
        join_nearest(x, chosen, j, out.nearest.data(), out.next.data(), out.labels.data());
        return;
    }
    const std::uint64_t moved = join_centre<true>(
        x.size, x.channel[0].data(), x.channel[1].data(), x.channel[2].data(), chosen, j,
        out.nearest.data(), out.next.data(), out.labels.data(), drop.data(), where.starts());
    if (moved > in.pixels / 4) {
        search.recount(in.index, out.nearest.data());
        return;
    }
    for (std::size_t c = 0; c < x.size; ++c) {
        if (drop[c] != 0) {
            search.lower(c, static_cast<std::uint32_t>(drop[c]));
        }
    }
}

// scikit-learn's first E-step measures each colour against the seeds as |c|^2 - 2 x.c over the
// centred rows, in floating point. Where seeds lie exactly equally near a colour, its rounding
// decides, and that rounding depends on the expression alone, not on any summation order or
// thread count: so ties between seeds break as it breaks them, bit for bit.
class seeded_distance {
public:
    explicit seeded_distance(const double* mean) : mean_(mean) {
#if defined(__x86_64__) || defined(__i386__)
        // BLAS kernels use fused multiply-adds on processors that have them.
        fused_ = __builtin_cpu_supports("fma");
#endif
    }

    double operator()(const colour& v, const colour& seed) const {
        double x[3], c[3];
        for (int ch = 0; ch < 3; ++ch) {
            x[ch] = static_cast<double>(v[ch]) - mean_[ch];
            c[ch] = static_cast<double>(seed[ch]) - mean_[ch];
        }
        // row_norms sums as einsum does; the file is built without contraction, so every
        // expression rounds as written.
        const double norm = (c[0] * c[0] + c[2] * c[2]) + c[1] * c[1];
        const double dot = fused_ ? std::fma(x[2], c[2], std::fma(x[1], c[1], x[0] * c[0]))
                                  : (x[0] * c[0] + x[1] * c[1]) + x[2] * c[2];
        return norm + -2.0 * dot;
    }

private:
    const double* mean_;
    bool fused_ = true;
};

// A colour exactly as near to two or more seeds takes the one scikit-learn's rounding puts
// first, the first of those it rounds alike.
void break_seed_ties(const colours& x, const std::vector<colour>& seeds, seeding& out) {
    const seeded_distance measure(x.mean);
    const std::int32_t* next = out.next.data();
    const std::int32_t* nearest = out.nearest.data();
    // Ties are rare: a stretch of colours is looked at one by one only when it holds one.
    constexpr std::size_t stretch = 64;
    for (std::size_t from = 0; from < x.size; from += stretch) {
        const std::size_t to = std::min(x.size, from + stretch);
        std::int32_t tied = 0;  // a count, which the compiler adds up a vector at a time
        for (std::size_t c = from; c < to; ++c) {
            tied += next[c] == nearest[c] ? 1 : 0;
        }
        for (std::size_t c = from; tied != 0 && c < to; ++c) {
            if (next[c] != nearest[c]) {
                continue;
            }
            int best = -1;
            double best_value = 0.0;
            for (std::size_t j = 0; j < seeds.size(); ++j) {
                if (static_cast<std::int32_t>(squared_distance(x.values[c], seeds[j])) !=
                    nearest[c]) {
                    continue;
                }
                const double value = measure(x.values[c], seeds[j]);
                if (best < 0 || value < best_value) {
                    best = static_cast<int>(j);
                    best_value = value;
                }
            }
            out.labels[c] = best;
        }
    }
}

}  // namespace

uniform_choice::uniform_choice(std::size_t pixels)
    : pixels_(pixels), step_(1.0 / static_cast<double>(pixels)) {
    // s_i = s_(i-1) + step, rounded, for i up to the pixel count: within one binade every
    // addition rounds by the same amount (the step's remainder below the binade's unit is the
    // same for every sum), unless that remainder is exactly half a unit, when ties alternate.
    // So the sums are taken a stretch at a time, exactly, and one by one near the binade's top.
    double s = step_;
    std::size_t i = 0;
    auto advance = [&](std::size_t to) {
        while (i < to) {
            int exponent = 0;
            std::frexp(s, &exponent);
            const double top = std::ldexp(1.0, exponent);
            const double unit = std::ldexp(1.0, exponent - 53);
            const double rise = (s + step_) - s;
            std::size_t stretch = 0;
            if (std::fmod(step_, unit) != unit / 2) {
                const double room = (top - s) / rise;
                stretch = room > 4 ? static_cast<std::size_t>(room) - 3 : 0;
                stretch = std::min(stretch, to - i);
            }
            if (stretch > 1) {
                s += static_cast<double>(stretch) * rise;  // exact: a multiple of the unit
                i += stretch;
            } else {
                s = s + step_;
                ++i;
            }
        }
    };
    for (std::size_t end = block - 1;; end += block) {
        const std::size_t at = std::min(end, pixels - 1);
        advance(at);
        block_end_.push_back(s);
        if (at == pixels - 1) {
            break;
        }
    }
    last_ = s;
}

std::size_t uniform_choice::pick(double draw) const {
    std::size_t b = 0;
    while (b + 1 < block_end_.size() && !(block_end_[b] / last_ > draw)) {
        ++b;
    }
    double s = b == 0 ? 0.0 : block_end_[b - 1];
    const std::size_t end = std::min(pixels_, (b + 1) * block);
    for (std::size_t i = b * block; i < end; ++i) {
        s = i == 0 ? step_ : s + step_;
        if (s / last_ > draw) {
            return i;
        }
    }
    return end - 1;
}

colour_blocks::colour_blocks(const std::uint32_t* index, std::size_t pixels, std::size_t distinct,
                             unsigned threads, bool indexed, std::size_t span)
    : pixels_(pixels),
      blocks_((pixels + block - 1) / block),
      indexed_(indexed),
      start_(distinct + 1, 0) {
    if (!indexed) {
        if (span > 0) {
            span_ = std::min(span, std::size_t{65535} / block);  // counts fit 16 bits
            list_spans(index, distinct, threads);
        }
        return;
    }
    // A counting sort: each worker takes a stretch of blocks, and a colour's entries from one
    // stretch go after those from the stretches before, so the thread count changes nothing.
    // Writing each entry straight to its colour's place would miss the cache on nearly every
    // one; they go first to their group of colours, in block order, then each group, small
    // enough for the cache, is sorted by colour.
    constexpr std::size_t group = 4096;  // colours: a number within the group fits 16 bits
    const std::size_t groups = (distinct + group - 1) / group;
    const unsigned parts = workers_for(blocks_, threads);
    std::vector<std::vector<std::uint32_t>> place(parts);
    // fn(colour, block, its pixels there) for each colour of each block of stretch t.
    auto each_block = [&](std::size_t t, auto&& fn) {
        std::vector<std::uint16_t> tally(distinct, 0);
        std::vector<std::uint32_t> present;
        for (std::size_t b = blocks_ * t / parts; b < blocks_ * (t + 1) / parts; ++b) {
            present.clear();
            const std::size_t end = std::min(pixels, (b + 1) * block);
            for (std::size_t i = b * block; i < end; ++i) {
                if (tally[index[i]]++ == 0) {
                    present.push_back(index[i]);
                }
            }
            for (std::uint32_t c : present) {
                fn(c, b, tally[c]);
                tally[c] = 0;
            }
        }
    };
    parallel_for(parts, parts, [&](std::size_t t, unsigned) {
        place[t].assign(distinct, 0);
        each_block(t, [&](std::uint32_t c, std::size_t, std::uint32_t) { ++place[t][c]; });
    });
    // Each colour's first entry, and where each stretch's entries of each group go.
    std::vector<std::vector<std::uint32_t>> cursor(parts, std::vector<std::uint32_t>(groups));
    std::uint32_t total = 0;
    for (std::size_t c = 0; c < distinct; ++c) {
        start_[c] = total;
        for (const std::vector<std::uint32_t>& p : place) {
            total += p[c];
        }
    }
    start_[distinct] = total;
    for (std::size_t g = 0; g < groups; ++g) {
        std::uint32_t at = start_[g * group];
        for (unsigned t = 0; t < parts; ++t) {
            cursor[t][g] = at;
            const std::size_t end = std::min(distinct, (g + 1) * group);
            for (std::size_t c = g * group; c < end; ++c) {
                at += place[t][c];
            }
        }
    }
    place.clear();
    entry_.resize(total);
    std::vector<std::uint16_t> member(total);  // each entry's colour within its group
    parallel_for(parts, parts, [&](std::size_t t, unsigned) {
        each_block(t, [&](std::uint32_t c, std::size_t b, std::uint32_t n) {
            const std::uint32_t at = cursor[t][c / group]++;
            entry_[at] = static_cast<std::uint32_t>(b << count_bits) | (n - 1);
            member[at] = static_cast<std::uint16_t>(c % group);
        });
    });
    parallel_for(groups, workers_for(groups, threads), [&](std::size_t g, unsigned) {
        const std::size_t first = g * group;
        const std::size_t end = std::min(distinct, first + group);
        std::vector<std::uint32_t> unsorted(entry_.begin() + start_[first],
                                            entry_.begin() + start_[end]);
        std::vector<std::uint32_t> to(start_.begin() + static_cast<std::ptrdiff_t>(first),
                                      start_.begin() + static_cast<std::ptrdiff_t>(end));
        for (std::size_t i = 0; i < unsorted.size(); ++i) {
            entry_[to[member[start_[first] + i]]++] = unsorted[i];
        }
    });
}

void colour_blocks::list_spans(const std::uint32_t* index, std::size_t distinct, unsigned threads) {
    const std::size_t width = span_ * block;
    spans_.resize((pixels_ + width - 1) / width);
    const unsigned parts = workers_for(spans_.size(), threads);
    lists_.resize(parts);
    // 16-bit tallies, half the cache the colours' would take at 32.
    std::vector<std::vector<std::uint16_t>> tally(parts);
    parallel_for(spans_.size(), parts, [&](std::size_t s, unsigned w) {
        if (tally[w].empty()) {
            tally[w].assign(distinct, 0);
        }
        std::uint16_t* seen = tally[w].data();
        colour_list& list = lists_[w];
        const std::size_t first = s * width;
        const std::size_t end = std::min(pixels_, first + width);
        // Summing a listed colour costs about twice a pixel: a span lists at most a third as
        // many colours as it has pixels, and stops looking once it has more.
        const std::size_t most = (end - first) / 3;
        const std::size_t begin = list.colour.size();
        std::size_t i = first;
        for (; i < end && list.colour.size() - begin <= most; ++i) {
            if (seen[index[i]]++ == 0) {
                list.colour.push_back(index[i]);
            }
        }
        const bool listed = i == end && list.colour.size() - begin <= most;
        for (std::size_t e = begin; e < list.colour.size(); ++e) {
            if (listed) {
                list.count.push_back(seen[list.colour[e]]);
            }
            seen[list.colour[e]] = 0;
        }
        if (!listed) {
            list.colour.resize(begin);
        }
        spans_[s] = span_colours{w, begin, list.colour.size(), listed};
    });
}

// Four sums taken in turn, as stretch_sum() takes them, and for the same reason.
__attribute__((optimize("no-tree-vectorize", "no-tree-slp-vectorize"))) std::uint64_t
colour_blocks::span_sum(std::size_t s, const std::uint32_t* index,
                        const std::int32_t* distance) const {
    const span_colours& where = spans_[s];
    const auto* d = reinterpret_cast<const std::uint32_t*>(distance);
    if (!where.listed) {
        std::uint64_t total = 0;
        const std::size_t end = std::min(pixels_, (s + 1) * span_ * block);
        for (std::size_t i = s * span_ * block; i < end; i += block) {
            total += stretch_sum(index + i, d, std::min(block, end - i));
        }
        return total;
    }
    const std::uint32_t* colour = lists_[where.list].colour.data();
    const std::uint16_t* count = lists_[where.list].count.data();
    // a colour's pixels times its distance: below 2^16 * 2^18
    std::uint64_t part[4] = {0, 0, 0, 0};
    std::size_t e = where.begin;
    for (; e + 4 <= where.end; e += 4) {
        part[0] += std::uint64_t{count[e]} * d[colour[e]];
        part[1] += std::uint64_t{count[e + 1]} * d[colour[e + 1]];
        part[2] += std::uint64_t{count[e + 2]} * d[colour[e + 2]];
        part[3] += std::uint64_t{count[e + 3]} * d[colour[e + 3]];
    }
    for (; e < where.end; ++e) {
        part[0] += std::uint64_t{count[e]} * d[colour[e]];
    }
    return (part[0] + part[1]) + (part[2] + part[3]);
}

draw_search::draw_search(const colour_blocks& where)
    : where_(&where), sum_(where.blocks(), std::uint64_t{block} * seeding::far) {
    if (!sum_.empty()) {
        sum_.back() = (where.pixels() - (sum_.size() - 1) * block) * std::uint64_t{seeding::far};
    }
}

void draw_search::recount(const std::uint32_t* index, const std::int32_t* distance) {
    const std::size_t pixels = where_->pixels();
    for (std::size_t b = 0; b < sum_.size(); ++b) {
        sum_[b] = stretch_sum(index + b * block, reinterpret_cast<const std::uint32_t*>(distance),
                              std::min(block, pixels - b * block));
    }
}

std::vector<std::size_t> draw_search::reaching(const std::uint32_t* index,
                                               const std::int32_t* distance,
                                               const std::vector<std::uint64_t>& threshold,
                                               std::uint64_t total) const {
    const std::size_t pixels = where_->pixels();
    const std::size_t blocks = sum_.size();
    std::vector<std::size_t> order(threshold.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return threshold[a] < threshold[b]; });
    std::vector<std::size_t> found(threshold.size(), pixels - 1);
    auto block_sum = [&](std::size_t b) {
        return where_->indexed() ? sum_[b]
                                 : stretch_sum(index + b * block,
                                               reinterpret_cast<const std::uint32_t*>(distance),
                                               std::min(block, pixels - b * block));
    };
    // The first pixel of block b whose running sum reaches `wanted`, `before` being the sum
    // over the blocks before it; `pixels` if none does.
    auto within = [&](std::size_t b, std::uint64_t before, std::uint64_t wanted) {
        std::size_t i = b * block;
        for (std::uint64_t sum = before; i < pixels; ++i) {
            sum += static_cast<std::uint32_t>(distance[index[i]]);
            if (sum >= wanted) {
                break;
            }
        }
        return i;
    };
    // The smaller thresholds are found walking the blocks from the first, the larger ones from
    // the last, down from the whole sum: the walks stop either side of the widest gap between
    // thresholds, which leaves the fewest pixels to sum.
    std::size_t forward = order.size();
    std::uint64_t widest = 0;
    for (std::size_t s = 0; s <= order.size(); ++s) {
        const std::uint64_t from = s == 0 ? 0 : std::min(threshold[order[s - 1]], total);
        const std::uint64_t to = s == order.size() ? total : std::min(threshold[order[s]], total);
        if (to - from > widest) {
            widest = to - from;
            forward = s;
        }
    }
    // With spans, whole spans are skipped first; the blocks are walked within the span the
    // running sum reaches the threshold in.
    const std::size_t span = where_->indexed() ? 0 : where_->span();
    const std::size_t spans = span > 0 ? where_->spans() : 0;
    std::size_t g = 0;
    std::uint64_t before_span = 0;  // over the spans before g
    std::size_t b = 0;
    std::uint64_t before = 0;  // over the blocks before b
    for (std::size_t s = 0; s < forward; ++s) {
        const std::uint64_t wanted = threshold[order[s]];
        if (spans > 0) {
            for (std::uint64_t sum;
                 g < spans &&
                 before_span + (sum = where_->span_sum(g, index, distance)) < wanted;) {
                before_span += sum;
                ++g;
            }
            if (g == spans) {
                break;
            }
            if (b < g * span) {
                b = g * span;
                before = before_span;
            }
        }
        for (std::uint64_t sum; b < blocks && before + (sum = block_sum(b)) < wanted;) {
            before += sum;
            ++b;
        }
        if (b == blocks) {
            break;  // the rest stay clipped to the last pixel
        }
        const std::size_t i = within(b, before, wanted);
        if (i == pixels) {
            break;  // only if the block sums strayed from the pixels: clipped, never past them
        }
        found[order[s]] = i;
    }
    // From the last block down: `after` sums the blocks from b on, so that the pixels before
    // block b sum to total - after, which every threshold here exceeds.
    g = spans;
    std::uint64_t after_span = 0;  // over the spans from g on
    b = blocks;
    std::uint64_t after = 0;
    for (std::size_t s = order.size(); s-- > forward;) {
        const std::uint64_t wanted = threshold[order[s]];
        if (wanted > total) {
            continue;  // past every pixel: clipped
        }
        if (spans > 0) {
            for (std::uint64_t sum;
                 g > 0 &&
                 total - after_span - (sum = where_->span_sum(g - 1, index, distance)) >= wanted;) {
                after_span += sum;
                --g;
            }
            if (g == 0) {
                break;
            }
            if (b > g * span) {
                b = std::min(blocks, g * span);
                after = after_span;
            }
        }
        std::uint64_t sum = 0;
        while (b > 0 && total - after - (sum = block_sum(b - 1)) >= wanted) {
            after += sum;
            --b;
        }
        if (b == 0) {
            break;  // only if the block sums strayed from the pixels
        }
        // clipped, never past the pixels, should the block sums stray from them
        found[order[s]] = std::min(within(b - 1, total - after - sum, wanted), pixels - 1);
    }
    return found;
}

seeding seed(const colours& x, const kmeans_input& in, const uniform_choice& choice,
             const colour_blocks& where, const double* draws) {
    const int k = in.clusters;
    seeding out{centre_set(k), std::vector<std::int32_t>(x.size, 0),
                std::vector<std::int32_t>(x.size, seeding::far),
                std::vector<std::int32_t>(x.size, seeding::far)};
    std::vector<colour> seeds;
    auto take = [&](int j, const colour& v) {
        out.centres.set(j, centre{{v[0], v[1], v[2]}, 1});
        seeds.push_back(v);
    };
    draw_search search(where);
    std::vector<std::int32_t> drop(where.indexed() ? x.size : 0);  // only the index follows drops
    const colour first = x.values[in.index[choice.pick(draws[0])]];
    take(0, first);
    join_centre(x, in, where, first, 0, out, drop, search);
    std::uint64_t pot = potential(x, out.nearest);
    const int trials = local_trials(k);
    std::vector<std::uint64_t> threshold(static_cast<std::size_t>(trials));
    ++draws;
    for (int j = 1; j < k; ++j, draws += trials) {
        // r = draw * pot with draw = m / 2^53; a whole running sum reaches r from ceil(r) on.
        for (int t = 0; t < trials; ++t) {
            const auto m = static_cast<std::uint64_t>(std::ldexp(draws[t], 53));
            threshold[static_cast<std::size_t>(t)] = static_cast<std::uint64_t>(
                (static_cast<exact::u128>(m) * pot + ((exact::u128{1} << 53) - 1)) >> 53);
        }
        const std::vector<std::size_t> pixel =
            search.reaching(in.index, out.nearest.data(), threshold, pot);
        // np.argmin over the candidates' potentials: the first of the smallest. An equal colour
        // leaves an equal potential, never smaller than the earlier one's: only the first of
        // equal colours is measured, four at a time.
        std::vector<std::size_t> measured;
        for (std::size_t t = 0; t < pixel.size(); ++t) {
            bool seen = false;
            for (std::size_t s = 0; s < t && !seen; ++s) {
                seen = in.index[pixel[s]] == in.index[pixel[t]];
            }
            if (!seen) {
                measured.push_back(t);
            }
        }
        std::vector<std::uint64_t> pots(measured.size());
        for (std::size_t m = 0; m < measured.size(); m += 4) {
            const std::size_t count = std::min<std::size_t>(4, measured.size() - m);
            std::array<colour, 4> some{};
            for (std::size_t q = 0; q < count; ++q) {
                some[q] = x.values[in.index[pixel[measured[m + q]]]];
            }
            potentials_with(x, out.nearest.data(), some.data(), count, &pots[m]);
        }
        std::size_t best = measured[0];
        std::uint64_t best_pot = pots[0];
        for (std::size_t m = 1; m < measured.size(); ++m) {
            if (pots[m] < best_pot) {
                best = measured[m];
                best_pot = pots[m];
            }
        }
        const colour chosen = x.values[in.index[pixel[best]]];
        take(j, chosen);
        pot = best_pot;
        join_centre(x, in, where, chosen, j, out, drop, search);
    }
    break_seed_ties(x, seeds, out);
    return out;
}

}  // namespace huesift::clustering::kmeans

namespace huesift::clustering {

int local_trials(int clusters) {
    return 2 + static_cast<int>(std::log(static_cast<double>(clusters)));
}

std::size_t draws_needed(int clusters, int runs) {
    return static_cast<std::size_t>(runs) *
           (1 + static_cast<std::size_t>(clusters - 1) *
                    static_cast<std::size_t>(local_trials(clusters)));
}

}  // namespace huesift::clustering
