// Moving the bounds with a permuted table per register gives the bits and the open colours of
// the plain loop, ties, zeros and infinite bounds included, for every k it takes. Tightening
// them in floats never leaves a bound below the distance, nor far above it; the assignment
// that measures in floats leaves near ties to exact arithmetic.
#include "clustering/kmeans/assignment.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

namespace huesift::clustering::kmeans {
namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
TEST(MoveBounds, PermutedEqualsPlain) {
    if (!__builtin_cpu_supports("avx2")) {
        GTEST_SKIP() << "no AVX2 here";
    }
    std::mt19937 random(7);
    // Few distinct values, so that sums and comparisons tie often.
    const float values[] = {0.0f, 0.5f,  1.0f,  1.5f,
                            2.0f, 3.25f, 40.0f, std::numeric_limits<float>::infinity()};
    auto value = [&](bool finite) {
        return values[random() % (finite ? 7 : 8)];
    };
    for (int k = 1; k <= 8; ++k) {
        for (const std::size_t n : {0, 1, 7, 8, 9, 1000, 1003}) {
            std::vector<std::int32_t> labels(n);
            std::vector<float> high(n), low(n);
            for (std::size_t c = 0; c < n; ++c) {
                labels[c] = static_cast<std::int32_t>(random() % static_cast<unsigned>(k));
                high[c] = value(true);
                low[c] = value(false);
            }
            std::vector<float> raise(k), drop(k), half(k);
            for (int j = 0; j < k; ++j) {
                raise[j] = value(true);
                drop[j] = value(true);
                half[j] = value(j > 0);
            }
            std::vector<float> plain_high = high, plain_low = low;
            std::vector<std::uint8_t> open(n);
            move_bounds(n, labels.data(), plain_high.data(), plain_low.data(), raise.data(),
                        drop.data(), half.data(), open.data());
            std::vector<std::uint32_t> expected;  // with their labels
            for (std::size_t c = 0; c < n; ++c) {
                if (open[c]) {
                    expected.push_back(static_cast<std::uint32_t>(c) |
                                       static_cast<std::uint32_t>(labels[c]) << listed_label_shift);
                }
            }
            std::vector<std::uint32_t> list(n);
            const std::size_t listed =
                move_bounds_listed(n, labels.data(), high.data(), low.data(), raise.data(),
                                   drop.data(), half.data(), k, list.data());
            SCOPED_TRACE(testing::Message() << "k " << k << ", n " << n);
            list.resize(listed);
            EXPECT_EQ(list, expected);
            EXPECT_EQ(std::memcmp(high.data(), plain_high.data(), n * sizeof(float)), 0);
            EXPECT_EQ(std::memcmp(low.data(), plain_low.data(), n * sizeof(float)), 0);
        }
    }
}

TEST(TightenBounds, FloatBoundsHoldAndListTheRest) {
    if (!__builtin_cpu_supports("avx2")) {
        GTEST_SKIP() << "no AVX2 here";
    }
    std::mt19937 random(11);
    auto byte = [&] {  // the extremes often
        const unsigned r = random() % 8;
        return static_cast<std::uint8_t>(r == 0 ? 0 : r == 1 ? 255 : random() % 256);
    };
    for (int k = 1; k <= 8; ++k) {
        for (const std::size_t n : {0, 1, 7, 8, 9, 1003, 4099}) {
            // Centres on whole numbers, between them, and a fraction off a whole number, which
            // floats round; half the colours sit next to their centre, the rest anywhere.
            std::vector<double> at(3 * static_cast<std::size_t>(k));
            for (int j = 0; j < k; ++j) {
                for (int ch = 0; ch < 3; ++ch) {
                    const double fraction = 1.0 / (3 + random() % 1000);
                    const int whole = byte();
                    at[3 * j + ch] = j % 3 == 0   ? whole
                                     : j % 3 == 1 ? whole * (1.0 - fraction)
                                                  : whole + (whole < 255 ? fraction : -fraction);
                }
            }
            std::vector<std::uint32_t> packed(n);
            std::vector<std::int32_t> labels(n);
            for (std::size_t c = 0; c < n; ++c) {
                labels[c] = static_cast<std::int32_t>(random() % static_cast<unsigned>(k));
                for (int ch = 0; ch < 3; ++ch) {
                    const double near =
                        std::round(at[3 * static_cast<std::size_t>(labels[c]) + ch]);
                    packed[c] |= static_cast<std::uint32_t>(c % 2 ? byte() : near) << (8 * ch);
                }
            }
            auto distance = [&](std::size_t c) {  // in long double, about 11 digits past float
                long double squared = 0;
                for (int ch = 0; ch < 3; ++ch) {
                    const long double e = static_cast<long double>(packed[c] >> (8 * ch) & 0xff) -
                                          at[3 * static_cast<std::size_t>(labels[c]) + ch];
                    squared += e * e;
                }
                return std::sqrt(squared);
            };
            // Lower bounds just either side of the distance, far off, zero and infinite.
            std::vector<float> low(n), high(n, -1.0f), half(static_cast<std::size_t>(k));
            for (std::size_t c = 0; c < n; ++c) {
                const auto d = static_cast<float>(distance(c));
                const float choices[] = {d * 1.001f + 0.001f, d * 0.999f, 0.0f, 500.0f,
                                         std::numeric_limits<float>::infinity()};
                low[c] = choices[random() % 5];
            }
            for (float& h : half) {
                h = static_cast<float>(random() % 100);
            }
            std::vector<std::uint32_t> list;  // as moving the bounds lists them
            for (std::size_t c = 0; c < n; ++c) {
                if (random() % 4 != 0) {
                    list.push_back(static_cast<std::uint32_t>(c) |
                                   static_cast<std::uint32_t>(labels[c]) << listed_label_shift);
                }
            }
            const std::vector<std::uint32_t> listed = list;
            const std::size_t still =
                tighten_listed(list.size(), list.data(), packed.data(), at.data(), k, low.data(),
                               half.data(), high.data());
            SCOPED_TRACE(testing::Message() << "k " << k << ", n " << n);
            std::vector<std::uint32_t> expected;
            for (const std::uint32_t entry : listed) {
                const std::uint32_t c = entry & listed_colour_mask;
                const long double d = distance(c);
                ASSERT_GE(high[c], d) << "colour " << c;
                ASSERT_LE(high[c], d * (1 + 1e-5L) + 2e-4L) << "colour " << c;
                if (!(high[c] < std::max(low[c], half[static_cast<std::size_t>(labels[c])]))) {
                    expected.push_back(entry);
                }
            }
            list.resize(still);
            EXPECT_EQ(list, expected);
            for (std::size_t c = 0, i = 0; c < n; ++c) {
                const bool was_listed = i < listed.size() && (listed[i] & listed_colour_mask) == c;
                i += was_listed;
                if (!was_listed) {
                    EXPECT_EQ(high[c], -1.0f) << "colour " << c << " was not listed";
                }
            }
        }
    }
}
#endif

// Two centres mirrored about a plane of colours, one of them moved off by 1/W: every colour of
// the plane lies nearer one centre by about 1e-6 in squared distance, far less than floats
// tell apart. Three more centres stand far off, so that five are measured; or ten more, so
// that the measure takes more centres than a register holds.
TEST(Assignment, NearTiesGoWhereExactArithmeticSends) {
    constexpr std::int64_t w = 999983;
    for (const int k : {5, 12}) {
        for (const std::int64_t nudge : {-1, 1}) {
            for (const std::int64_t a0 : {123456789, 77777777, 200000001}) {
                const std::int64_t plane = a0 / w + 2;  // the colours' first channel
                std::vector<colour> values;
                for (int v1 = 0; v1 < 256; v1 += 5) {
                    for (int v2 = 0; v2 < 256; v2 += 17) {
                        values.push_back({static_cast<std::uint8_t>(plane),
                                          static_cast<std::uint8_t>(v1),
                                          static_cast<std::uint8_t>(v2)});
                    }
                }
                const std::size_t n = values.size();
                std::vector<std::int64_t> counts(n, 1);
                std::vector<std::uint32_t> index(n);
                std::iota(index.begin(), index.end(), 0u);
                kmeans_input in{values.data(), counts.data(), n, index.data(), n, k, 1, 300,
                                1e-4,          nullptr,       1};
                const colours x(in);
                seeding start{centre_set(k), std::vector<std::int32_t>(n, 0),
                              std::vector<std::int32_t>(n, 0), std::vector<std::int32_t>(n, 0)};
                centre_set& centres = start.centres;
                // the tied pair after the far ones too, where it is measured last
                const int first = k == 5 ? 0 : k - 2;
                centres.set(first, centre{{a0, 100 * w + 1, 50 * w + 3}, w});
                centres.set(first + 1,
                            centre{{2 * plane * w - a0 + nudge, 100 * w + 1, 50 * w + 3}, w});
                for (int j = 0, far = 0; j < k; ++j) {
                    if (j != first && j != first + 1) {
                        centres.set(j,
                                    centre{{far % 2 * 255, far / 2 % 2 * 255, 255 - far * 20}, 1});
                        ++far;
                    }
                }
                assignment e_step(x, start, std::numeric_limits<int>::max());
                // all to be measured afresh
                std::vector<std::int32_t> labels(n, first == 0 ? 2 : 0);
                cluster_sums sums(k);
                for (std::size_t c = 0; c < n; ++c) {
                    sums.join(x, c, labels[c], +1);
                }
                e_step.assign(centres, std::vector<double>(static_cast<std::size_t>(k), 1000.0),
                              labels, sums);
                for (std::size_t c = 0; c < n; ++c) {
                    int nearest = 0;
                    for (int j = 1; j < k; ++j) {
                        if (compare_distances(values[c], centres.exact(j), values[c],
                                              centres.exact(nearest)) < 0) {
                            nearest = j;
                        }
                    }
                    ASSERT_EQ(labels[c], nearest)
                        << k << " centres, nudge " << nudge << ", a0 " << a0 << ", colour " << c;
                }
            }
        }
    }
}

}  // namespace
}  // namespace huesift::clustering::kmeans
