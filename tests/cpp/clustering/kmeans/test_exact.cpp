// The exact arithmetic behind k-means' decisions, at the limits of its types and in both
// directions of every comparison.
#include "clustering/kmeans/centres.hpp"
#include "clustering/kmeans/exact.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <compare>
#include <cstdint>

namespace huesift::clustering {
namespace {

using exact::natural;
using exact::ratio_sum;
using exact::u128;
using exact::u192;

constexpr u128 u128_max = ~u128{0};
constexpr std::uint64_t u64_max = ~std::uint64_t{0};

natural power_of_two(unsigned bits) { return natural(1).shifted(bits); }

natural plus(natural a, const natural& b) {
    a += b;
    return a;
}

ratio_sum sum_of(std::initializer_list<std::pair<u128, u128>> ratios) {
    ratio_sum total;
    for (auto [numerator, denominator] : ratios) {
        total.add(natural(numerator), natural(denominator));
    }
    return total;
}

TEST(U192, MultiplyAtTheLimits) {
    // (2^128 - 1)(2^64 - 1) = 2^192 - 2^128 - 2^64 + 1
    const u192 p = exact::multiply(u128_max, u64_max);
    EXPECT_EQ(p.word[0], 1u);
    EXPECT_EQ(p.word[1], u64_max);
    EXPECT_EQ(p.word[2], u64_max - 1);
    const u192 zero = exact::multiply(u128_max, 0);
    EXPECT_EQ(zero.word[0] | zero.word[1] | zero.word[2], 0u);
}

TEST(U192, OrderIsDecidedByTheHighestDifferingWord) {
    const u192 a{{5, 7, 9}};
    for (int word = 0; word < 3; ++word) {
        u192 b = a;
        b.word[word] += 1;
        EXPECT_EQ(a <=> b, std::strong_ordering::less) << word;
        EXPECT_EQ(b <=> a, std::strong_ordering::greater) << word;
    }
    EXPECT_EQ(a <=> a, std::strong_ordering::equal);
}

TEST(Natural, SumsCarryIntoNewLimbs) {
    // 2^128: the carry runs through all four limbs into a fifth
    EXPECT_EQ(plus(natural(u128_max), natural(1)), power_of_two(128));
    // the longer one on the right
    EXPECT_EQ(plus(natural(3), natural(u128_max)), plus(power_of_two(128), natural(2)));
    EXPECT_EQ(plus(natural(), natural()), natural(0));
}

TEST(Natural, ProductsNearTheLimits) {
    // (2^128 - 1)^2 = 2^256 - 2^129 + 1
    const natural square = natural(u128_max) * natural(u128_max);
    EXPECT_EQ(plus(square, power_of_two(129)), plus(power_of_two(256), natural(1)));
    EXPECT_EQ(natural() * natural(u128_max), natural());
    EXPECT_EQ(natural(u128_max) * natural(), natural());
    EXPECT_EQ(natural(1) * natural(1), natural(1));  // the product's top limb is trimmed
}

TEST(Natural, OrderBySizeThenByLimbs) {
    const natural big = power_of_two(64);
    const natural small(u64_max);
    EXPECT_EQ(small <=> big, std::strong_ordering::less);
    EXPECT_EQ(big <=> small, std::strong_ordering::greater);
    EXPECT_EQ(natural(u128{5} << 96) <=> natural((u128{5} << 96) + 1), std::strong_ordering::less);
    EXPECT_EQ(natural((u128{5} << 96) + 1) <=> natural(u128{5} << 96),
              std::strong_ordering::greater);
    EXPECT_EQ(natural(u128_max) <=> natural(u128_max), std::strong_ordering::equal);
}

TEST(Natural, ShiftsByWholeAndPartLimbs) {
    EXPECT_EQ(natural().shifted(100), natural());
    EXPECT_EQ(natural(1).shifted(0), natural(1));
    EXPECT_EQ(natural(3).shifted(31), natural(u128{3} << 31));  // across a limb
    EXPECT_EQ(natural(3).shifted(64), natural(u128{3} << 64));  // whole limbs, top one trimmed
    EXPECT_EQ(natural(u128_max).shifted(1) <=> natural(u128_max), std::strong_ordering::greater);
}

TEST(RatioSum, ComparisonsDecideBothWays) {
    // 1/3 + 1/6 = 1/2 exactly; a hair either side orders as it should
    EXPECT_EQ(sum_of({{1, 3}, {1, 6}}) <=> sum_of({{1, 2}}), std::strong_ordering::equal);
    EXPECT_EQ(sum_of({{1, 3}, {1, 6}}) <=> sum_of({{1, 2}, {1, u128_max}}),
              std::strong_ordering::less);
    EXPECT_EQ(sum_of({{1, 3}, {1, 6}, {1, u128_max}}) <=> sum_of({{1, 2}}),
              std::strong_ordering::greater);
}

TEST(RatioSum, DoublesAboveAndBelowTwoToThe53) {
    // Above 2^53 a double is a whole number: its mantissa shifted up.
    const double big = std::ldexp(1.0, 60) + std::ldexp(1.0, 8);
    ratio_sum from_double;
    from_double.add(big);
    const ratio_sum whole = sum_of({{(u128{1} << 60) + 256, 1}});
    EXPECT_EQ(from_double <=> whole, std::strong_ordering::equal);
    EXPECT_EQ(from_double <=> sum_of({{(u128{1} << 60) + 257, 1}}), std::strong_ordering::less);
    EXPECT_EQ(from_double <=> sum_of({{(u128{1} << 60) + 255, 1}}), std::strong_ordering::greater);
    // Below it, a fraction over a power of two: 0.1 is 3602879701896397 / 2^55.
    ratio_sum tenth;
    tenth.add(0.1);
    EXPECT_EQ(tenth <=> sum_of({{3602879701896397, u128{1} << 55}}), std::strong_ordering::equal);
    EXPECT_EQ(tenth <=> sum_of({{1, 10}}), std::strong_ordering::greater);
    ratio_sum zero;
    zero.add(0.0);
    EXPECT_EQ(zero <=> ratio_sum(), std::strong_ordering::equal);
}

// Two distances from colours to centres, each a sum over a pixel count, compared exactly with
// counts and sums near the largest a call can hold.
TEST(CompareDistances, NearTheLimits) {
    using kmeans::centre;
    constexpr std::int64_t w = (std::int64_t{1} << 31) - 1;
    const kmeans::colour black{0, 0, 0};
    const kmeans::colour white{255, 255, 255};
    // 1/w against 2/(2w): the same point
    const centre a{{1, 0, 0}, w};
    const centre b{{2, 0, 0}, 2 * w};
    EXPECT_EQ(kmeans::compare_distances(black, a, black, b), std::strong_ordering::equal);
    // 1/w against 1/(w - 1), a part in 2^31 apart
    const centre c{{1, 0, 0}, w - 1};
    EXPECT_EQ(kmeans::compare_distances(black, a, black, c), std::strong_ordering::less);
    EXPECT_EQ(kmeans::compare_distances(black, c, black, a), std::strong_ordering::greater);
    // white against centres just short of white: every channel's sum 255 w - 1 and - 2
    const centre near{{255 * w - 1, 255 * w - 1, 255 * w - 1}, w};
    const centre nearer{{255 * w - 1, 255 * w - 1, 255 * w}, w};
    EXPECT_EQ(kmeans::compare_distances(white, nearer, white, near), std::strong_ordering::less);
    EXPECT_EQ(kmeans::compare_distances(white, near, black, a), std::strong_ordering::greater);
}

}  // namespace
}  // namespace huesift::clustering
