// DBSCAN on the lattice, end to end on planted colours: a dense colour is a cluster, a sparse
// one noise, and labels and centres come back per row and per cluster.
#include "clustering/dbscan/dbscan.hpp"
#include "clustering/dbscan/standard_scaler.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace huesift::clustering {
namespace {

TEST(Dbscan, DenseColoursClusterAndSparseOnesAreNoise) {
    // 60 rows of a dark red, 40 of a blue, 10 of white, interleaved; min_samples 50
    constexpr std::uint8_t red[3] = {120, 10, 10}, blue[3] = {10, 10, 120},
                           white[3] = {255, 255, 255};
    std::vector<std::uint8_t> rows;
    for (int i = 0; i < 110; ++i) {
        const std::uint8_t* colour = i % 11 == 10 ? white : i % 11 < 6 ? red : blue;
        rows.insert(rows.end(), colour, colour + 3);
    }
    dbscan_input in{};
    in.rows = {rows.data(), 110, 3, 1};
    ASSERT_TRUE(scaler_fit_follows(in.rows));
    fit_standard_scaler(in.rows, in.mean, in.scale);
    in.min_samples = 50;
    in.eps = 0.5;
    in.threads = 2;
    const dbscan_result found = dbscan_lattice(in);
    ASSERT_EQ(found.sizes, (std::vector<std::int64_t>{60}));
    std::vector<std::intptr_t> labels(110);
    write_row_labels(found, {}, labels.data());
    for (int i = 0; i < 110; ++i) {
        EXPECT_EQ(labels[i], i % 11 < 6 ? 0 : -1) << i;
    }
    write_row_labels(found, {3}, labels.data());  // cluster 0 written as its rank, 3
    EXPECT_EQ(labels[0], 3);
    EXPECT_EQ(labels[10], -1);
    double centre[3];
    write_centres(found, centre);
    EXPECT_EQ(centre[0], 120.0);
    EXPECT_EQ(centre[1], 10.0);
    EXPECT_EQ(centre[2], 10.0);
}

TEST(Dbscan, AcceptsRowsNumberedIn32Bits) {
    EXPECT_TRUE(dbscan_accepts(0));
    EXPECT_TRUE(dbscan_accepts((std::ptrdiff_t{1} << 31) - 1));
    EXPECT_FALSE(dbscan_accepts(std::ptrdiff_t{1} << 31));
}

}  // namespace
}  // namespace huesift::clustering
