#include "assignment.hpp"

#include "preparation/parallel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace huesift::clustering::kmeans {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Bounds are kept as floats, moved past their rounding: a float is nearest to the double
// within 2^-24 of it, which the factors outweigh.
float float_above(double v) { return static_cast<float>(v * (1.0 + 0x1p-22)); }
float float_below(double v) { return static_cast<float>(v * (1.0 - 0x1p-22)); }

float upper(double squared) { return float_above(std::sqrt(squared + rounding)); }
float lower(double squared) {
    return squared > rounding ? float_below(std::sqrt(squared - rounding)) : 0.0f;
}

// The bounds those two distances give, a vector at a time.
HUESIFT_WIDE_VECTORS
void bounds_of(std::size_t n, const double* __restrict least, const double* __restrict next,
               float* __restrict high, float* __restrict low) {
    for (std::size_t i = 0; i < n; ++i) {
        high[i] = upper(least[i]);
        low[i] = lower(next[i]);  // infinity stays infinity
    }
}

// For each of n colours, the first centre at the least distance by the doubles, that distance
// and the next least (each within `rounding` of the exact one). Centre by centre, so that the
// colours go a vector at a time.
HUESIFT_WIDE_VECTORS
void nearest_two(std::size_t n, const double* __restrict p0, const double* __restrict p1,
                 const double* __restrict p2, const double* __restrict centres, int k,
                 std::int32_t* __restrict best, double* __restrict least, double* __restrict next) {
    constexpr double far = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        best[i] = 0;
        least[i] = far;
        next[i] = far;
    }
    // Two centres a pass, in their order, which halves the passes over the scratch.
    int j = 0;
    for (; j + 1 < k; j += 2) {
        const double a0 = centres[3 * j], a1 = centres[3 * j + 1], a2 = centres[3 * j + 2];
        const double b0 = centres[3 * j + 3], b1 = centres[3 * j + 4], b2 = centres[3 * j + 5];
        for (std::size_t i = 0; i < n; ++i) {
            const double e0 = p0[i] - a0, e1 = p1[i] - a1, e2 = p2[i] - a2;
            const double d = e0 * e0 + e1 * e1 + e2 * e2;
            const double f0 = p0[i] - b0, f1 = p1[i] - b1, f2 = p2[i] - b2;
            const double e = f0 * f0 + f1 * f1 + f2 * f2;
            double was = least[i];
            double after = next[i];
            std::int32_t at = best[i];
            bool nearer = d < was;
            after = nearer ? was : d < after ? d : after;
            at = nearer ? j : at;
            was = nearer ? d : was;
            nearer = e < was;
            next[i] = nearer ? was : e < after ? e : after;
            best[i] = nearer ? j + 1 : at;
            least[i] = nearer ? e : was;
        }
    }
    for (; j < k; ++j) {
        const double c0 = centres[3 * j], c1 = centres[3 * j + 1], c2 = centres[3 * j + 2];
        for (std::size_t i = 0; i < n; ++i) {
            const double e0 = p0[i] - c0, e1 = p1[i] - c1, e2 = p2[i] - c2;
            const double d = e0 * e0 + e1 * e1 + e2 * e2;
            const double was = least[i];
            const double after = next[i];
            const bool nearer = d < was;
            next[i] = nearer ? was : d < after ? d : after;
            best[i] = nearer ? j : best[i];
            least[i] = nearer ? d : was;
        }
    }
}

// Each colour's distance to its own centre (into `least`) and the upper bound it gives; whether
// that bound alone keeps the colour's label.
HUESIFT_WIDE_VECTORS
void own_bounds(std::size_t n, const double* __restrict p0, const double* __restrict p1,
                const double* __restrict p2, const double* __restrict c0,
                const double* __restrict c1, const double* __restrict c2,
                const float* __restrict keep_below, double* __restrict least,
                float* __restrict high, std::uint8_t* __restrict keep) {
    for (std::size_t i = 0; i < n; ++i) {
        const double e0 = p0[i] - c0[i], e1 = p1[i] - c1[i], e2 = p2[i] - c2[i];
        const double d = e0 * e0 + e1 * e1 + e2 * e2;
        least[i] = d;
        high[i] = upper(d);
        keep[i] = static_cast<std::uint8_t>(high[i] < keep_below[i]);
    }
}

// The least and next least of a colour's distances to n centres (their coordinates channel by
// channel), and the place of the least; the centre at place `skip` is left out.
struct two_least {
    double least;
    double next;
    int at;
};
inline two_least nearest_of(const double* p, const double* __restrict c0,
                            const double* __restrict c1, const double* __restrict c2, int n,
                            int skip) {
    two_least out{infinity, infinity, skip};
    for (int i = 0; i < n; ++i) {
        const double e0 = p[0] - c0[i], e1 = p[1] - c1[i], e2 = p[2] - c2[i];
        const double d = i == skip ? infinity : e0 * e0 + e1 * e1 + e2 * e2;
        const bool nearer = d < out.least;
        out.next = nearer ? out.least : std::min(out.next, d);
        out.at = nearer ? i : out.at;
        out.least = nearer ? d : out.least;
    }
    return out;
}

// The bounds from the seeding's squared distances: whole numbers below 2^18, which floats hold
// exactly, so each square root is off by its own rounding alone, and its product by one more.
HUESIFT_WIDE_VECTORS
void seed_bounds(std::size_t n, const std::int32_t* __restrict nearest,
                 const std::int32_t* __restrict next, float* __restrict high,
                 float* __restrict low) {
    for (std::size_t c = 0; c < n; ++c) {
        high[c] = std::sqrt(static_cast<float>(nearest[c])) * bound_up;
        low[c] = next[c] == seeding::far ? std::numeric_limits<float>::infinity()
                                         : std::sqrt(static_cast<float>(next[c])) * bound_down;
    }
}

// A group's drift in units of 2^-32: at least `moved`.
std::int64_t drift_units(double moved) {
    return static_cast<std::int64_t>(std::ceil(moved * 0x1p32));
}

// A lower bound after its group drifted `units` further: still below the distances it bounds.
float drifted(float bound, std::int64_t units) {
    if (units == 0) {
        return bound;
    }
    // Both terms are exact in doubles (the drifts stay far below 2^53 units): the difference
    // is rounded once, which float_below outweighs.
    const double less = static_cast<double>(bound) - static_cast<double>(units) * 0x1p-32;
    return less > 0.0 ? float_below(less) : 0.0f;
}

}  // namespace

// The bounds move with the centres; flags the colours they no longer separate. In floats, each
// result pushed past its two roundings (2^-24 each).
HUESIFT_WIDE_VECTORS
void move_bounds(std::size_t n, const std::int32_t* __restrict labels, float* __restrict high,
                 float* __restrict low, const float* __restrict raise, const float* __restrict drop,
                 const float* __restrict half, std::uint8_t* __restrict open) {
    for (std::size_t c = 0; c < n; ++c) {
        const std::int32_t a = labels[c];
        const float h = (high[c] + raise[a]) * bound_up;
        const float less = low[c] - drop[a];
        const float l = (less > 0.0f ? less : 0.0f) * bound_down;
        high[c] = h;
        low[c] = l;
        const float keep = l > half[a] ? l : half[a];
        open[c] = static_cast<std::uint8_t>(h >= keep);
    }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// For each set of eight flags, the places of the set ones, a byte each, in order.
constexpr auto left_pack = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned flags = 0; flags < 256; ++flags) {
        unsigned at = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if (flags >> lane & 1u) {
                table[flags] |= std::uint64_t{lane} << (8 * at++);
            }
        }
    }
    return table;
}();

// The same for at most eight centres, listing the flagged colours instead: one register holds
// each per-centre table, so a permute looks eight colours' entries up at once where a gather
// fetches them one by one. The same operations in the same order give the same bits: the
// maximum instruction returns its second operand unless the first is greater, as the
// comparisons above do.
__attribute__((target("avx2"))) std::size_t move_bounds_listed(
    std::size_t n, const std::int32_t* labels, float* high, float* low, const float* raise,
    const float* drop, const float* half, int k, std::uint32_t* list) {
    alignas(32) float tables[3][8] = {};
    for (int j = 0; j < k; ++j) {
        tables[0][j] = raise[j];
        tables[1][j] = drop[j];
        tables[2][j] = half[j];
    }
    const __m256 raised = _mm256_load_ps(tables[0]);
    const __m256 dropped = _mm256_load_ps(tables[1]);
    const __m256 halves = _mm256_load_ps(tables[2]);
    const __m256 up = _mm256_set1_ps(bound_up);
    const __m256 down = _mm256_set1_ps(bound_down);
    const __m256 zero = _mm256_setzero_ps();
    std::size_t open = 0;
    std::size_t c = 0;
    for (; c + 8 <= n; c += 8) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(labels + c));
        const __m256 h = _mm256_mul_ps(
            _mm256_add_ps(_mm256_loadu_ps(high + c), _mm256_permutevar8x32_ps(raised, a)), up);
        const __m256 less =
            _mm256_sub_ps(_mm256_loadu_ps(low + c), _mm256_permutevar8x32_ps(dropped, a));
        const __m256 l = _mm256_mul_ps(_mm256_max_ps(less, zero), down);
        _mm256_storeu_ps(high + c, h);
        _mm256_storeu_ps(low + c, l);
        const __m256 keep = _mm256_max_ps(l, _mm256_permutevar8x32_ps(halves, a));
        const auto flags =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(h, keep, _CMP_GE_OQ)));
        // The flagged lanes' entries packed to the left, all eight stored: open stays at most c,
        // so the store stays within the n entries of the list.
        const __m256i picks = _mm256_cvtepu8_epi32(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&left_pack[flags])));
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(list + open),
            _mm256_or_si256(
                _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(c)), picks),
                _mm256_slli_epi32(_mm256_permutevar8x32_epi32(a, picks), listed_label_shift)));
        open += static_cast<std::size_t>(std::popcount(flags));
    }
    std::uint8_t rest[8];
    move_bounds(n - c, labels + c, high + c, low + c, raise, drop, half, rest);
    for (std::size_t i = 0; i < n - c; ++i) {
        const auto label = static_cast<std::uint32_t>(labels[c + i]);
        list[open] = static_cast<std::uint32_t>(c + i) | label << listed_label_shift;
        open += rest[i];
    }
    return open;
}

// A distance worked out in floats from the centre's coordinates as floats: those lie within
// 2^-17 of the exact ones, the doubles' own rounding aside (1.4e-5 over three channels); the
// differences, squares, sums and square root put the result within 2^-22 of the distance to
// the float coordinates. Widened by 2^-19 and raised by 1e-4, both past their own rounding, it
// is never below the exact distance.
constexpr float float_widen = 1.0f + 0x1p-19f;
constexpr float float_margin = 1e-4f;
// And the lower bound likewise: narrowed by 2^-19 and lowered by 1e-4, never above it.
constexpr float float_narrow = 1.0f - 0x1p-19f;

#define HUESIFT_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// Eight entries of a table, fetched one load at a time: faster than a gather instruction on
// the processor measured (AMD Zen 3), where the table is larger than the first-level cache.
HUESIFT_AVX2_INLINE __m256i fetched(const void* table, __m256i at) {
    alignas(32) std::uint32_t place[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(place), at);
    const auto* words = static_cast<const std::uint32_t*>(table);
    return _mm256_setr_epi32(static_cast<int>(words[place[0]]), static_cast<int>(words[place[1]]),
                             static_cast<int>(words[place[2]]), static_cast<int>(words[place[3]]),
                             static_cast<int>(words[place[4]]), static_cast<int>(words[place[5]]),
                             static_cast<int>(words[place[6]]), static_cast<int>(words[place[7]]));
}

// Eight colours' channels, unpacked from their bytes.
struct eight_colours {
    __m256 x0, x1, x2;
};
HUESIFT_AVX2_INLINE eight_colours unpacked(__m256i v) {
    const __m256i byte = _mm256_set1_epi32(0xff);
    return {_mm256_cvtepi32_ps(_mm256_and_si256(v, byte)),
            _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(v, 8), byte)),
            _mm256_cvtepi32_ps(_mm256_srli_epi32(v, 16))};
}

// Their squared float distances to a centre each, in the one order both float paths share.
HUESIFT_AVX2_INLINE __m256 squared_to(const eight_colours& x, __m256 c0, __m256 c1, __m256 c2) {
    const __m256 e0 = _mm256_sub_ps(x.x0, c0);
    const __m256 e1 = _mm256_sub_ps(x.x1, c1);
    const __m256 e2 = _mm256_sub_ps(x.x2, c2);
    return _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(e0, e0), _mm256_mul_ps(e1, e1)),
                         _mm256_mul_ps(e2, e2));
}

// The bounds on the exact distances those give.
HUESIFT_AVX2_INLINE __m256 float_upper(__m256 squared) {
    return _mm256_add_ps(_mm256_mul_ps(_mm256_sqrt_ps(squared), _mm256_set1_ps(float_widen)),
                         _mm256_set1_ps(float_margin));
}
HUESIFT_AVX2_INLINE __m256 float_lower(__m256 squared) {
    return _mm256_max_ps(
        _mm256_sub_ps(_mm256_mul_ps(_mm256_sqrt_ps(squared), _mm256_set1_ps(float_narrow)),
                      _mm256_set1_ps(float_margin)),
        _mm256_setzero_ps());
}

// The colours listed from `i` on, eight of them: past the list's end, the last one again.
HUESIFT_AVX2_INLINE __m256i eight_listed(const std::uint32_t* list, std::size_t i,
                                         std::size_t end) {
    if (i + 8 <= end) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(list + i));
    }
    alignas(32) std::uint32_t some[8];
    for (std::size_t lane = 0; lane < 8; ++lane) {
        some[lane] = list[std::min(i + lane, end - 1)];
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(some));
}

__attribute__((target("avx2"))) std::size_t tighten_listed(std::size_t open, std::uint32_t* list,
                                                           const std::uint32_t* packed,
                                                           const double* at, int k,
                                                           const float* low, const float* half,
                                                           float* high) {
    alignas(32) float tables[4][8] = {};
    for (int j = 0; j < k; ++j) {
        for (int ch = 0; ch < 3; ++ch) {
            tables[ch][j] = static_cast<float>(at[3 * j + ch]);
        }
        tables[3][j] = half[j];
    }
    const __m256 centre0 = _mm256_load_ps(tables[0]);
    const __m256 centre1 = _mm256_load_ps(tables[1]);
    const __m256 centre2 = _mm256_load_ps(tables[2]);
    const __m256 halves = _mm256_load_ps(tables[3]);
    std::size_t still = 0;
    for (std::size_t i = 0; i < open; i += 8) {
        const std::size_t lanes = std::min<std::size_t>(8, open - i);
        const __m256i entries = eight_listed(list, i, open);
        const __m256i c = _mm256_and_si256(entries, _mm256_set1_epi32(listed_colour_mask));
        const __m256i a = _mm256_srli_epi32(entries, listed_label_shift);
        const __m256 u = float_upper(
            squared_to(unpacked(fetched(packed, c)), _mm256_permutevar8x32_ps(centre0, a),
                       _mm256_permutevar8x32_ps(centre1, a), _mm256_permutevar8x32_ps(centre2, a)));
        const __m256 keep_below = _mm256_max_ps(_mm256_castsi256_ps(fetched(low, c)),
                                                _mm256_permutevar8x32_ps(halves, a));
        const auto flags =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(u, keep_below, _CMP_NLT_UQ))) &
            ((1u << lanes) - 1);
        alignas(32) float bound[8];
        alignas(32) std::uint32_t colour[8];
        _mm256_store_ps(bound, u);
        _mm256_store_si256(reinterpret_cast<__m256i*>(colour), c);
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            high[colour[lane]] = bound[lane];
        }
        // The colours still open packed to the left. All eight are stored where still + 8 stays
        // within the entries already read; at the list's end, only those kept.
        const __m128i picks = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&left_pack[flags]));
        const __m256i kept = _mm256_permutevar8x32_epi32(entries, _mm256_cvtepu8_epi32(picks));
        if (lanes == 8) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(list + still), kept);
        } else {
            _mm256_store_si256(reinterpret_cast<__m256i*>(colour), kept);
            std::copy_n(colour, std::popcount(flags), list + still);
        }
        still += static_cast<std::size_t>(std::popcount(flags));
    }
    return still;
}
#endif

assignment::assignment(const colours& x, const seeding& start, int grouped_from)
    : x_(x),
      k_(start.centres.size()),
      high_(x.size),
      low_(x.size),
      raise_(static_cast<std::size_t>(k_)),
      drop_(static_cast<std::size_t>(k_)),
      half_(static_cast<std::size_t>(k_)),
      distance_(static_cast<std::size_t>(k_)),
      open_(x.size),
      flag_(x.size) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool avx2 = __builtin_cpu_supports("avx2");
    eight_wide_ = avx2 && k_ <= 8;
    wide_ = avx2;
    as_floats_.resize(3 * static_cast<std::size_t>(k_));
#endif
    seed_bounds(x.size, start.nearest.data(), start.next.data(), high_.data(), low_.data());
    if (k_ >= grouped_from) {
        group(start.centres);
        const auto t = static_cast<std::size_t>(groups_);
        bound_.resize(x.size * t);
        for (std::size_t c = 0; c < x.size; ++c) {
            // every other centre is at least this far, those of each group too
            std::fill_n(&bound_[c * t], t, low_[c]);
        }
        stamp_.assign(x.size, 0);
        drift_.assign(t, 0);
        packed_.resize(3 * static_cast<std::size_t>(k_));
        reach_.resize(t);
        least_.resize(t);
        second_.resize(t);
        nearest_.resize(t);
    }
}

// About one group per ten centres, by a few rounds of k-means over the seeds, starting from the
// first seeds, which k-means++ spread apart. Any grouping is right; near centres grouped
// together let the bounds rule out more.
void assignment::group(const centre_set& centres) {
    const int t = std::max(1, (k_ + 5) / 10);
    std::vector<double> seat(centres.coordinates().begin(), centres.coordinates().begin() + 3 * t);
    group_of_.assign(static_cast<std::size_t>(k_), 0);
    for (int round = 0; round < 5; ++round) {
        for (int j = 0; j < k_; ++j) {
            double least = infinity;
            for (int g = 0; g < t; ++g) {
                double squared = 0.0;
                for (int ch = 0; ch < 3; ++ch) {
                    const double d = centres.at(j)[ch] - seat[3 * static_cast<std::size_t>(g) + ch];
                    squared += d * d;
                }
                if (squared < least) {
                    least = squared;
                    group_of_[static_cast<std::size_t>(j)] = g;
                }
            }
        }
        std::vector<double> sum(3 * static_cast<std::size_t>(t), 0.0);
        std::vector<int> count(static_cast<std::size_t>(t), 0);
        for (int j = 0; j < k_; ++j) {
            const auto g = static_cast<std::size_t>(group_of_[static_cast<std::size_t>(j)]);
            for (int ch = 0; ch < 3; ++ch) {
                sum[3 * g + ch] += centres.at(j)[ch];
            }
            ++count[g];
        }
        for (std::size_t g = 0; g < static_cast<std::size_t>(t); ++g) {
            for (int ch = 0; ch < 3 && count[g] > 0; ++ch) {
                seat[3 * g + ch] = sum[3 * g + ch] / count[g];
            }
        }
    }
    // The groups in use, numbered afresh, their centres listed group after group.
    std::vector<int> number(static_cast<std::size_t>(t), -1);
    for (int g = 0; g < t; ++g) {
        for (int j = 0; j < k_; ++j) {
            if (group_of_[static_cast<std::size_t>(j)] == g) {
                if (number[static_cast<std::size_t>(g)] < 0) {
                    number[static_cast<std::size_t>(g)] = groups_++;
                    group_start_.push_back(static_cast<int>(member_.size()));
                }
                member_.push_back(j);
            }
        }
    }
    group_start_.push_back(k_);
    for (int& g : group_of_) {
        g = number[static_cast<std::size_t>(g)];
    }
    place_.resize(static_cast<std::size_t>(k_));
    for (int p = 0; p < k_; ++p) {
        place_[static_cast<std::size_t>(member_[static_cast<std::size_t>(p)])] = p;
    }
}

bool assignment::assign(const centre_set& centres, const std::vector<double>& moved,
                        std::vector<std::int32_t>& labels, cluster_sums& sums) {
    // What the others moved at most, seen from each centre.
    std::size_t first = 0;
    for (std::size_t j = 1; j < moved.size(); ++j) {
        first = moved[j] > moved[first] ? j : first;
    }
    double second = 0.0;
    for (std::size_t j = 0; j < moved.size(); ++j) {
        second = j != first ? std::max(second, moved[j]) : second;
    }
    for (std::size_t j = 0; j < moved.size(); ++j) {
        raise_[j] = float_above(moved[j]);
        drop_[j] = float_above(j == first ? second : moved[first]);
    }
    // A colour nearer its centre than half the way to the next centre keeps it whatever its
    // lower bound says.
    for (int a = 0; a < k_; ++a) {
        double closest = infinity;
        for (int j = 0; j < k_; ++j) {
            if (j != a) {
                double squared = 0.0;
                for (int ch = 0; ch < 3; ++ch) {
                    const double d = centres.at(a)[ch] - centres.at(j)[ch];
                    squared += d * d;
                }
                closest = std::min(closest, squared);
            }
        }
        // the coordinates' rounding moves a centre distance by less than 1e-12
        half_[static_cast<std::size_t>(a)] =
            closest == infinity ? std::numeric_limits<float>::infinity()
                                : float_below(std::max(0.5 * std::sqrt(closest) - 1e-12, 0.0));
    }
    const std::size_t open = tighten(centres, move_and_list(labels), labels);
    if (groups_ == 0) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
        if (eight_wide_) {
            return measure_floats<true>(centres, open, labels, sums);
        }
        if (wide_) {
            return measure_floats<false>(centres, open, labels, sums);
        }
#endif
        return measure_all(centres, open, labels, sums);
    }
    // Each group drifts as far as its centres moved at most.
    const auto t = static_cast<std::size_t>(groups_);
    ++step_;
    drift_.resize((step_ + 1) * t);
    for (std::size_t g = 0; g < t; ++g) {
        double most = 0.0;
        for (int p = group_start_[g]; p < group_start_[g + 1]; ++p) {
            const auto j = static_cast<std::size_t>(member_[static_cast<std::size_t>(p)]);
            most = std::max(most, moved[j]);
        }
        drift_[step_ * t + g] = drift_[(step_ - 1) * t + g] + drift_units(most);
    }
    for (int p = 0; p < k_; ++p) {
        for (int ch = 0; ch < 3; ++ch) {
            packed_[static_cast<std::size_t>(ch * k_ + p)] =
                centres.at(member_[static_cast<std::size_t>(p)])[ch];
        }
    }
    return measure_grouped(centres, open, labels, sums);
}

// The bounds moved, and the colours they no longer separate listed in open_, in order; how
// many.
std::size_t assignment::move_and_list(const std::vector<std::int32_t>& labels) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (eight_wide_) {
        return move_bounds_listed(x_.size, labels.data(), high_.data(), low_.data(), raise_.data(),
                                  drop_.data(), half_.data(), k_, open_.data());
    }
#endif
    move_bounds(x_.size, labels.data(), high_.data(), low_.data(), raise_.data(), drop_.data(),
                half_.data(), flag_.data());
    return list_open();
}

// The flagged colours listed in open_, in order; how many. Most colours are not flagged once
// the bounds settle: eight flags are read at once, and eight clear ones skipped together.
std::size_t assignment::list_open() {
    const std::uint8_t* __restrict flag = flag_.data();
    std::uint32_t* __restrict list = open_.data();
    const std::size_t n = x_.size;
    std::size_t open = 0;
    std::size_t c = 0;
    for (; c + 8 <= n; c += 8) {
        std::uint64_t eight;
        std::memcpy(&eight, flag + c, sizeof eight);
        if (eight == 0) {
            continue;
        }
        for (std::size_t i = c; i < c + 8; ++i) {
            list[open] = static_cast<std::uint32_t>(i);
            open += flag[i];
        }
    }
    for (; c < n; ++c) {
        list[open] = static_cast<std::uint32_t>(c);
        open += flag[c];
    }
    return open;
}

// The open colours measured against every centre, a batch at a time.
bool assignment::measure_all(const centre_set& centres, std::size_t open,
                             std::vector<std::int32_t>& labels, cluster_sums& sums) {
    bool changed = false;
    for (std::size_t start = 0; start < open; start += batch) {
        const std::size_t m = std::min(batch, open - start);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t c = open_[start + i];
            for (int ch = 0; ch < 3; ++ch) {
                scan_.at[ch][i] = x_.channel[ch][c];
            }
        }
        nearest_two(m, scan_.at[0], scan_.at[1], scan_.at[2], centres.coordinates().data(), k_,
                    scan_.best, scan_.least, scan_.next);
        bounds_of(m, scan_.least, scan_.next, scan_.high, scan_.low);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t c = open_[start + i];
            const int a = labels[c];
            int b = scan_.best[i];
            if (scan_.next[i] - scan_.least[i] > 2 * rounding) {
                high_[c] = scan_.high[i];
                low_[c] = scan_.low[i];
            } else {
                measure_exactly(centres, c, b);
            }
            changed |= relabel(c, a, b, labels, sums);
        }
    }
    return changed;
}

// Colour c, too near two centres for the distances at hand to tell, given to its nearest in
// exact arithmetic (`best` holds a nearest by floating point on entry), its bounds from doubles.
void assignment::measure_exactly(const centre_set& centres, std::size_t c, int& best) {
    best = settle(centres, c, best);
    double next = infinity;
    for (int j = 0; j < k_; ++j) {
        next = j != best ? std::min(next, distance_[static_cast<std::size_t>(j)]) : next;
    }
    high_[c] = upper(distance_[static_cast<std::size_t>(best)]);
    low_[c] = lower(next);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same eight colours at a time in floats, on a processor with AVX2. A colour's nearest
// centre by the floats is surely its nearest where the bounds on the distances (as
// tighten_listed() works them out, and the lower one likewise) part: where the distance to
// every other centre is surely larger. The rest are measured again, exactly. `listed`: at
// most eight centres, whose numbers stay in registers, and the list holds each colour's label
// (move_bounds_listed()); else any number, each centre's numbers fetched as it is measured,
// and the labels from `labels`.
template <bool listed>
__attribute__((target("avx2"))) bool assignment::measure_floats(const centre_set& centres,
                                                                std::size_t open,
                                                                std::vector<std::int32_t>& labels,
                                                                cluster_sums& sums) {
    const double* at = centres.coordinates().data();
    [[maybe_unused]] __m256 centre[listed ? 8 : 1][3];
    if constexpr (listed) {
        for (int j = 0; j < k_; ++j) {
            for (int ch = 0; ch < 3; ++ch) {
                centre[j][ch] = _mm256_set1_ps(static_cast<float>(at[3 * j + ch]));
            }
        }
    } else {
        for (std::size_t i = 0; i < 3 * static_cast<std::size_t>(k_); ++i) {
            as_floats_[i] = static_cast<float>(at[i]);
        }
    }
    const float* as_floats = as_floats_.data();
    const __m256 far = _mm256_set1_ps(std::numeric_limits<float>::infinity());
    const __m256i colour_mask = _mm256_set1_epi32(listed ? listed_colour_mask : 0xffffffffu);
    bool changed = false;
    // Each group's colours are fetched while the group before is taken in: they miss the
    // cache, and would otherwise stall every group.
    __m256i words =
        open > 0 ? fetched(x_.packed.data(),
                           _mm256_and_si256(eight_listed(open_.data(), 0, open), colour_mask))
                 : _mm256_setzero_si256();
    for (std::size_t i = 0; i < open; i += 8) {
        const std::size_t lanes = std::min<std::size_t>(8, open - i);
        const __m256i entries = eight_listed(open_.data(), i, open);
        const __m256i colours_at = _mm256_and_si256(entries, colour_mask);
        const __m256i was = listed ? _mm256_srli_epi32(entries, listed_label_shift)
                                   : fetched(labels.data(), colours_at);
        const eight_colours x = unpacked(words);
        alignas(32) std::uint32_t word[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(word), words);
        if (i + 8 < open) {
            words = fetched(x_.packed.data(),
                            _mm256_and_si256(eight_listed(open_.data(), i + 8, open), colour_mask));
        }
        __m256 least = far;
        __m256 next = far;
        __m256i best = _mm256_setzero_si256();
        for (int j = 0; j < k_; ++j) {
            __m256 d;
            if constexpr (listed) {
                d = squared_to(x, centre[j][0], centre[j][1], centre[j][2]);
            } else {
                d = squared_to(x, _mm256_broadcast_ss(as_floats + 3 * j),
                               _mm256_broadcast_ss(as_floats + 3 * j + 1),
                               _mm256_broadcast_ss(as_floats + 3 * j + 2));
            }
            const __m256 nearer = _mm256_cmp_ps(d, least, _CMP_LT_OQ);
            next = _mm256_blendv_ps(_mm256_min_ps(d, next), least, nearer);
            best = _mm256_blendv_epi8(best, _mm256_set1_epi32(j), _mm256_castps_si256(nearer));
            least = _mm256_blendv_ps(least, d, nearer);
        }
        const __m256 high = float_upper(least);
        const __m256 low = float_lower(next);
        const auto sure =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(low, high, _CMP_GT_OQ)));
        // The lanes that need more than their bounds stored: relabelled, or too close to call.
        const auto kept = static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(best, was))));
        const unsigned more = ~(kept & sure) & ((1u << lanes) - 1);
        alignas(32) float highs[8];
        alignas(32) float lows[8];
        alignas(32) std::int32_t bests[8];
        alignas(32) std::uint32_t colour[8];
        _mm256_store_ps(highs, high);
        _mm256_store_ps(lows, low);
        _mm256_store_si256(reinterpret_cast<__m256i*>(bests), best);
        _mm256_store_si256(reinterpret_cast<__m256i*>(colour), colours_at);
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            high_[colour[lane]] = highs[lane];
            low_[colour[lane]] = lows[lane];
        }
        for (unsigned rest = more; rest != 0; rest &= rest - 1) {
            const auto lane = static_cast<std::size_t>(std::countr_zero(rest));
            const std::size_t col = colour[lane];
            int b = bests[lane];
            if (!(sure >> lane & 1u)) {
                measure_exactly(centres, col, b);
            }
            const int a = labels[col];
            if (b != a) {
                const std::int64_t w = x_.weight[col];
                sums.join(word[lane], w, a, -1);
                sums.join(word[lane], w, b, +1);
                labels[col] = b;
                changed = true;
            }
        }
    }
    return changed;
}
#endif

// Colour c from cluster a to cluster b, its sums following it; whether it moved.
bool assignment::relabel(std::size_t c, int a, int b, std::vector<std::int32_t>& labels,
                         cluster_sums& sums) const {
    if (b == a) {
        return false;
    }
    sums.join(x_, c, a, -1);
    sums.join(x_, c, b, +1);
    labels[c] = b;
    return true;
}

// The open colours' upper bounds made tight, a batch at a time: a colour whose bound then
// falls below its lower bound keeps its label unmeasured. The others stay open, in order; how
// many.
std::size_t assignment::tighten(const centre_set& centres, std::size_t open,
                                const std::vector<std::int32_t>& labels) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (eight_wide_) {
        return tighten_listed(open, open_.data(), x_.packed.data(), centres.coordinates().data(),
                              k_, low_.data(), half_.data(), high_.data());
    }
#endif
    // Local pointers: the scratch's byte stores would otherwise make the compiler reload every
    // vector's address at each colour.
    const std::uint8_t* __restrict x0 = x_.channel[0].data();
    const std::uint8_t* __restrict x1 = x_.channel[1].data();
    const std::uint8_t* __restrict x2 = x_.channel[2].data();
    const double* __restrict at = centres.coordinates().data();
    const std::int32_t* __restrict label = labels.data();
    const float* __restrict low = low_.data();
    const float* __restrict half = half_.data();
    float* __restrict high = high_.data();
    std::uint32_t* __restrict list = open_.data();
    scan_batch& s = scan_;
    std::size_t still = 0;
    for (std::size_t start = 0; start < open; start += batch) {
        const std::size_t m = std::min(batch, open - start);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t c = list[start + i];
            const auto a = static_cast<std::size_t>(label[c]);
            s.at[0][i] = x0[c];
            s.at[1][i] = x1[c];
            s.at[2][i] = x2[c];
            s.own[0][i] = at[3 * a];
            s.own[1][i] = at[3 * a + 1];
            s.own[2][i] = at[3 * a + 2];
            s.low[i] = std::max(low[c], half[a]);
        }
        own_bounds(m, s.at[0], s.at[1], s.at[2], s.own[0], s.own[1], s.own[2], s.low, s.least,
                   s.high, s.keep);
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint32_t c = list[start + i];
            high[c] = s.high[i];
            list[still] = c;
            still += s.keep[i] ^ 1u;
        }
    }
    return still;
}

// The open colours measured group by group.
bool assignment::measure_grouped(const centre_set& centres, std::size_t open,
                                 std::vector<std::int32_t>& labels, cluster_sums& sums) {
    const auto t = static_cast<std::size_t>(groups_);
    bool changed = false;
    for (std::size_t i = 0; i < open; ++i) {
        const std::size_t c = open_[i] & listed_colour_mask;  // the float paths list labels too
        const int a = labels[c];
        int b = nearest_grouped(c, a);
        if (b < 0) {
            b = settle(centres, c, -1 - b);
            float* bound = &bound_[c * t];
            for (std::size_t g = 0; g < t; ++g) {
                double least = infinity;
                for (int p = group_start_[g]; p < group_start_[g + 1]; ++p) {
                    const int j = member_[static_cast<std::size_t>(p)];
                    least =
                        j != b ? std::min(least, distance_[static_cast<std::size_t>(j)]) : least;
                }
                bound[g] = lower(least);
            }
            high_[c] = upper(distance_[static_cast<std::size_t>(b)]);
            low_[c] = *std::min_element(bound, bound + t);
            stamp_[c] = step_;
        }
        changed |= relabel(c, a, b, labels, sums);
    }
    return changed;
}

// The nearest centre of colour c, labelled a, where floating point surely tells it, with its
// bounds set anew; where it cannot, -1 - the nearest by the doubles, for settle().
int assignment::nearest_grouped(std::size_t c, int a) {
    const auto t = static_cast<std::size_t>(groups_);
    const auto ga = static_cast<std::size_t>(group_of_[static_cast<std::size_t>(a)]);
    const double* c0 = packed_.data();
    const double* c1 = c0 + k_;
    const double* c2 = c1 + k_;
    const double p[3] = {static_cast<double>(x_.channel[0][c]),
                         static_cast<double>(x_.channel[1][c]),
                         static_cast<double>(x_.channel[2][c])};
    // Its upper bound is tight already (tighten()).
    const int pa = place_[static_cast<std::size_t>(a)];
    const double own = nearest_of(p, c0 + pa, c1 + pa, c2 + pa, 1, -1).least;
    const float high = high_[c];
    const float half = half_[static_cast<std::size_t>(a)];
    // The groups' bounds as they stand now.
    float* bound = &bound_[c * t];
    const std::int64_t* then = &drift_[stamp_[c] * t];
    const std::int64_t* now = &drift_[step_ * t];
    float low = std::numeric_limits<float>::infinity();
    for (std::size_t g = 0; g < t; ++g) {
        reach_[g] = drifted(bound[g], now[g] - then[g]);
        low = std::min(low, reach_[g]);
    }
    low_[c] = low;
    if (high < std::max(low, half)) {
        return a;
    }
    // The groups those bounds cannot rule out, each against the nearest centre found so far.
    int best = a;
    double least = own;
    double next = infinity;
    float reach = high;
    std::fill(nearest_.begin(), nearest_.end(), -1);
    // its own group first, where the nearest centre most often lies
    for (std::size_t h = 0; h < t; ++h) {
        const std::size_t g = h == 0 ? ga : h == ga ? 0 : h;
        if (reach < reach_[g]) {
            continue;
        }
        const int first = group_start_[g];
        const two_least found = nearest_of(p, c0 + first, c1 + first, c2 + first,
                                           group_start_[g + 1] - first, g == ga ? pa - first : -1);
        nearest_[g] = found.at < 0 ? a : member_[static_cast<std::size_t>(first + found.at)];
        least_[g] = found.least;
        second_[g] = found.next;
        if (found.least < least) {
            next = std::min(least, found.next);
            least = found.least;
            best = nearest_[g];
            reach = upper(least);
        } else {
            next = std::min(next, found.least);
        }
    }
    if (!(next - least > 2 * rounding)) {
        return -1 - best;
    }
    // Every centre ruled out lies farther than one measured; of those measured, `best` is
    // surely the nearest.
    for (std::size_t g = 0; g < t; ++g) {
        least_[g] = nearest_[g] == best ? second_[g] : least_[g];
    }
    for (std::size_t g = 0; g < t; ++g) {
        bound[g] = nearest_[g] >= 0 ? lower(least_[g]) : reach_[g];
    }
    if (best != a) {
        bound[ga] = std::min(bound[ga], lower(own));
    }
    high_[c] = upper(least);
    low_[c] = *std::min_element(bound, bound + t);
    stamp_[c] = step_;
    return best;
}

// The exact nearest centre of colour c when the doubles put `guess` within rounding of another:
// exact arithmetic orders the close ones. Leaves the distances to all centres in distance_.
int assignment::settle(const centre_set& centres, std::size_t c, int guess) {
    for (int j = 0; j < k_; ++j) {
        distance_[static_cast<std::size_t>(j)] = squared_distance(x_, c, centres.at(j));
    }
    int best = guess;
    const double close = distance_[static_cast<std::size_t>(guess)] + 2 * rounding;
    for (int j = 0; j < k_; ++j) {
        if (j != best && distance_[static_cast<std::size_t>(j)] <= close &&
            is_nearer(centres, c, j, best)) {
            best = j;
        }
    }
    return best;
}

// Centre j before centre `best` for colour c: strictly nearer, or as near with a lower index.
bool assignment::is_nearer(const centre_set& centres, std::size_t c, int j, int best) const {
    const auto order =
        compare_distances(x_.values[c], centres.exact(j), x_.values[c], centres.exact(best));
    return order < 0 || (order == 0 && j < best);
}

}  // namespace huesift::clustering::kmeans
