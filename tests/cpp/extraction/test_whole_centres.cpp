// Centre components within noise of a whole number of 0 to 255 become that number; genuine
// fractions, and values outside the 8-bit range, stay as they are.
#include "extraction/whole_centres.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace huesift::extraction {
namespace {

TEST(WholeCentres, DoublesWithinNoise) {
    std::vector<double> values{
        35.99999999999997, 36.00000000000003, 254.999999999, 0.5, 12.25, -1e-12, 255.000000001, 7.0,
        3.0 + 2e-8};
    EXPECT_TRUE(snap_whole(values.data(), values.size(), whole_within_double));
    EXPECT_EQ(values,
              (std::vector<double>{36.0, 36.0, 255.0, 0.5, 12.25, -0.0, 255.0, 7.0, 3.0 + 2e-8}));
    std::vector<double> whole{1.0, 2.0, 3.5};
    EXPECT_FALSE(snap_whole(whole.data(), whole.size(), whole_within_double));
}

TEST(WholeCentres, FloatsWithinTheirDrift) {
    std::vector<float> values{254.9996f, 17.0004f, 17.002f, 255.5f, -0.0004f};
    EXPECT_TRUE(snap_whole(values.data(), values.size(), whole_within_float));
    EXPECT_EQ(values, (std::vector<float>{255.0f, 17.0f, 17.002f, 255.5f, 0.0f}));
}

}  // namespace
}  // namespace huesift::extraction
