// The match statistics over L*a*b* rows, weighted by the pixels each distinct colour stands for,
// and the rows of every pixel again from the distinct colours'.
#include "matching/band_scan.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace huesift::matching {
namespace {

TEST(BandScan, WeightedRowsCountTheirPixels) {
    // distances 0, 15 (not below 15), 29, 49 and 50 from the target
    const std::vector<std::uint8_t> lab{100, 128, 128, 115, 128, 128, 100, 157,
                                        128, 100, 128, 177, 100, 98,  88};
    const std::uint8_t target[3] = {100, 128, 128};
    const std::vector<std::int64_t> weights{2, 3, 4, 5, 6};
    const band_counts one = scan_bands(lab.data(), 5, target);
    EXPECT_EQ(one.very_close, 1);
    EXPECT_EQ(one.close, 3);
    EXPECT_EQ(one.somewhat_close, 4);
    const band_counts weighted = scan_bands(lab.data(), 5, target, weights.data());
    EXPECT_EQ(weighted.very_close, 2);
    EXPECT_EQ(weighted.close, 9);
    EXPECT_EQ(weighted.somewhat_close, 14);
    EXPECT_EQ(weighted.closest_index, 0);
    EXPECT_EQ(weighted.min_squared, 0);
}

TEST(BandScan, RowsPerPixel) {
    const std::vector<std::uint8_t> rows{1, 2, 3, 40, 50, 60};
    const std::vector<std::uint32_t> index{1, 0, 1, 1};
    std::vector<std::uint8_t> out(12);
    rows_per_pixel(rows.data(), index.data(), index.size(), out.data());
    EXPECT_EQ(out, (std::vector<std::uint8_t>{40, 50, 60, 1, 2, 3, 40, 50, 60, 40, 50, 60}));
}

}  // namespace
}  // namespace huesift::matching
