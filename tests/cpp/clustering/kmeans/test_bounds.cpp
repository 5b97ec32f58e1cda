// Moving the bounds with a permuted table per register gives the bits and the open colours of
// the plain loop, ties, zeros and infinite bounds included, for every k it takes.
#include "clustering/kmeans/assignment.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
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
    const float values[] = {0.0f, 0.5f, 1.0f, 1.5f, 2.0f, 3.25f, 40.0f,
                            std::numeric_limits<float>::infinity()};
    auto value = [&](bool finite) { return values[random() % (finite ? 7 : 8)]; };
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
            std::vector<std::uint32_t> expected;
            for (std::size_t c = 0; c < n; ++c) {
                if (open[c]) {
                    expected.push_back(static_cast<std::uint32_t>(c));
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
#endif

}  // namespace
}  // namespace huesift::clustering::kmeans
