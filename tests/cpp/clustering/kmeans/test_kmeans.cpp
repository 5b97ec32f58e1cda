// k-means' update step (relocation of emptied clusters, and the hand-back to scikit-learn's
// own call), and whole fits: any number of clusters, on any number of threads, with bounds
// per group of centres or without.
#include "clustering/kmeans/centres.hpp"
#include "clustering/kmeans/kmeans.hpp"
#include "clustering/kmeans/lloyd.hpp"
#include "clustering/kmeans/update.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace huesift::clustering {
namespace {

using kmeans::centre;
using kmeans::colour;

// Distinct colours with their pixel counts, the pixels laid out colour after colour.
struct pixels {
    pixels(std::initializer_list<std::pair<colour, std::int64_t>> rows) {
        for (const auto& [value, count] : rows) {
            for (std::int64_t i = 0; i < count; ++i) {
                index.push_back(static_cast<std::uint32_t>(values.size()));
            }
            values.push_back(value);
            counts.push_back(count);
        }
    }

    kmeans_input input(int clusters, int runs, const double* draws, unsigned threads) const {
        return {values.data(), counts.data(), values.size(), index.data(), index.size(), clusters,
                runs,          300,           1e-4,          draws,        threads};
    }

    std::vector<colour> values;
    std::vector<std::int64_t> counts;
    std::vector<std::uint32_t> index;
};

centre at(const colour& c, std::int64_t count = 1) {
    return {{c[0] * count, c[1] * count, c[2] * count}, count};
}

// One update step from these centres and labels; the clusters' sums follow the labels.
struct step {
    step(pixels colours, std::initializer_list<centre> old, std::vector<std::int32_t> labels)
        : p(std::move(colours)),
          in(p.input(static_cast<int>(old.size()), 1, nullptr, 1)),
          x(in),
          centres(static_cast<int>(old.size())),
          labels(std::move(labels)),
          sums(static_cast<int>(old.size())),
          moved(static_cast<int>(old.size())) {
        int j = 0;
        for (const centre& c : old) {
            centres.set(j++, c);
        }
        for (std::size_t c = 0; c < x.size; ++c) {
            sums.join(x, c, this->labels[c], +1);
        }
    }
    bool update() { return kmeans::update(x, centres, labels, sums.members, moved); }

    pixels p;
    kmeans_input in;
    kmeans::colours x;
    kmeans::centre_set centres;
    std::vector<std::int32_t> labels;
    kmeans::cluster_sums sums;
    kmeans::centre_set moved;
};

constexpr colour black{0, 0, 0};
constexpr colour red{10, 0, 0};
constexpr colour green{0, 10, 0};

TEST(Relocation, AmongEquallyFarPixelsTheColourThatOccursFirst) {
    // red and green lie equally far from their centre, black on it; cluster 1 is empty
    for (const auto& [first, second] : {std::pair{red, green}, std::pair{green, red}}) {
        step s(pixels{{first, 1}, {second, 1}, {black, 2}}, {at(black), at({200, 200, 200})},
               {0, 0, 0});
        ASSERT_TRUE(s.update());
        EXPECT_EQ(s.moved.exact(1), at(first));
        EXPECT_EQ(s.moved.exact(0), (centre{{second[0], second[1], 0}, 3}));
    }
}

TEST(Relocation, TakesAllOfAColoursPixelsBeforeTheNext) {
    step s(pixels{{red, 2}, {green, 1}, {black, 1}}, {at(black), at(black), at(black), at(black)},
           {0, 0, 0});
    ASSERT_TRUE(s.update());
    EXPECT_EQ(s.moved.exact(1), at(red));
    EXPECT_EQ(s.moved.exact(2), at(red));
    EXPECT_EQ(s.moved.exact(3), at(green));
    EXPECT_EQ(s.moved.exact(0), at(black));
}

TEST(Relocation, TheFarthestFirst) {
    const colour far{0, 0, 30};
    step s(pixels{{red, 1}, {far, 1}, {black, 1}}, {at(black), at(black)}, {0, 0, 0});
    ASSERT_TRUE(s.update());
    EXPECT_EQ(s.moved.exact(1), at(far));
}

TEST(EmptyClusters, TakeTheHeaviestClustersCentreWhenEveryColourIsOnItsCentre) {
    step s(pixels{{red, 5}, {green, 3}}, {at(red), at(green), at(black)}, {0, 1});
    ASSERT_TRUE(s.update());
    EXPECT_EQ(s.moved.exact(2), at(red, 5));
}

// scikit-learn would give an empty cluster before the heaviest one an unaveraged sum: its own
// call decides.
TEST(EmptyClusters, BeforeTheHeaviestHandBack) {
    step on_centres(pixels{{red, 3}}, {at({50, 50, 50}), at(red)}, {1});
    EXPECT_FALSE(on_centres.update());
    // relocation takes the last pixel of cluster 0, which the heavier cluster 1 follows
    step emptied(pixels{{{4, 0, 0}, 1}, {red, 5}, {{12, 0, 0}, 1}},
                 {at(black), at(red), at({100, 0, 0})}, {0, 1, 1});
    EXPECT_FALSE(emptied.update());
}

// Draws that make k-means++ take `seeds` (colour numbers) in that order, for colours along the
// first channel with their pixels laid out colour after colour: the first draw falls on the
// first seed's first pixel, and every trial of a later centre on the first pixel of its seed,
// just past the running sum before it.
std::vector<double> draws_for(const pixels& p, const std::vector<int>& seeds) {
    const int k = static_cast<int>(seeds.size());
    const std::size_t u = p.values.size();
    std::vector<std::int64_t> before(u, 0);
    for (std::size_t c = 1; c < u; ++c) {
        before[c] = before[c - 1] + p.counts[c - 1];
    }
    std::vector<double> draws{
        (static_cast<double>(before[static_cast<std::size_t>(seeds[0])]) + 0.5) /
        static_cast<double>(p.index.size())};
    std::vector<std::int64_t> nearest(u, INT64_MAX);
    for (int j = 0; j < k; ++j) {
        if (j > 0) {
            std::int64_t potential = 0;
            std::int64_t reach = 0;
            for (std::size_t c = 0; c < u; ++c) {
                potential += p.counts[c] * nearest[c];
                reach += c < static_cast<std::size_t>(seeds[j]) ? p.counts[c] * nearest[c] : 0;
            }
            draws.insert(draws.end(), static_cast<std::size_t>(local_trials(k)),
                         (static_cast<double>(reach) + 0.5) / static_cast<double>(potential));
        }
        const colour& s = p.values[static_cast<std::size_t>(seeds[j])];
        for (std::size_t c = 0; c < u; ++c) {
            const std::int64_t d = p.values[c][0] - s[0];
            nearest[c] = std::min(nearest[c], d * d);
        }
    }
    return draws;
}

// Found by search: from these seeds, relocation in a later iteration takes the last pixel of
// a cluster before the heaviest one.
TEST(Fit, HandsBackMidFit) {
    const pixels p{{{27, 0, 0}, 1}, {{0, 0, 0}, 1},  {{18, 0, 0}, 1}, {{17, 0, 0}, 1},
                   {{37, 0, 0}, 2}, {{15, 0, 0}, 1}, {{30, 0, 0}, 3}, {{16, 0, 0}, 3}};
    const std::vector<double> draws = draws_for(p, {3, 5, 7, 4});
    ASSERT_EQ(draws.size(), draws_needed(4, 1));
    for (unsigned threads : {1u, 2u}) {
        EXPECT_TRUE(kmeans_fit(p.input(4, 1, draws.data(), threads)).undecided);
    }
    // The same seeds in another order converge.
    const std::vector<double> other = draws_for(p, {7, 5, 3, 4});
    EXPECT_FALSE(kmeans_fit(p.input(4, 1, other.data(), 1)).undecided);
}

TEST(Fit, AcceptsAnyNumberOfClustersUpToThePixels) {
    EXPECT_FALSE(kmeans_accepts(0, 10));
    EXPECT_FALSE(kmeans_accepts(-3, 10));
    EXPECT_TRUE(kmeans_accepts(1, 1));
    EXPECT_TRUE(kmeans_accepts(257, 338));
    EXPECT_FALSE(kmeans_accepts(339, 338));
    EXPECT_TRUE(kmeans_accepts(5, (std::size_t{1} << 31) - 1));
    EXPECT_FALSE(kmeans_accepts(5, std::size_t{1} << 31));
}

// More clusters than colours, beyond 256: each colour is its own cluster, whatever the thread
// count, and the clusters left empty sit on the heaviest cluster's centre, after those in use.
TEST(Fit, MoreClustersThanColoursOnAnyNumberOfThreads) {
    const colour heavy{200, 30, 40}, middle{20, 90, 220}, light{250, 250, 10};
    const pixels p{{heavy, 300}, {middle, 35}, {light, 3}};
    constexpr int k = 257;
    std::mt19937_64 random(42);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> draws(draws_needed(k, 10));
    std::generate(draws.begin(), draws.end(), [&] { return uniform(random); });
    const kmeans_result one = kmeans_fit(p.input(k, 10, draws.data(), 1));
    ASSERT_FALSE(one.undecided);
    EXPECT_EQ(one.distinct_clusters, 3);
    ASSERT_EQ(one.centres.size(), 3u * k);
    for (std::size_t c = 0; c < 3; ++c) {
        const std::int32_t label = one.labels[c];
        ASSERT_LT(label, 3);
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_EQ(one.centres[3 * static_cast<std::size_t>(label) + ch],
                      static_cast<double>(p.values[c][ch]));
        }
    }
    const std::size_t heaviest = static_cast<std::size_t>(one.labels[0]);
    for (std::size_t j = 3; j < k; ++j) {
        EXPECT_TRUE(std::equal(one.centres.begin() + 3 * j, one.centres.begin() + 3 * j + 3,
                               one.centres.begin() + 3 * heaviest));
    }
    for (unsigned threads : {2u, 8u}) {
        const kmeans_result other = kmeans_fit(p.input(k, 10, draws.data(), threads));
        EXPECT_EQ(other.labels, one.labels) << threads;
        EXPECT_EQ(other.centres, one.centres) << threads;
    }
    // Each pixel's label from its colour's, in place of its colour's number.
    std::vector<std::uint32_t> index = p.index;
    label_pixels(one.labels, index.data(), index.size(), 8);
    EXPECT_EQ(index[0], static_cast<std::uint32_t>(one.labels[0]));
    EXPECT_EQ(index[300], static_cast<std::uint32_t>(one.labels[1]));
    EXPECT_EQ(index[337], static_cast<std::uint32_t>(one.labels[2]));
}

// The assignment with bounds per group of centres labels as the one without, centres too, bit
// for bit: many clusters over few colours, lattices full of equal distances, and spread
// colours, with groups from one cluster on. The one without measures in floats, eight colours
// at a time, and leaves near ties to exact arithmetic.
TEST(Fit, BoundsPerGroupChangeNothing) {
    struct image {
        int levels;  // values per channel, spread over 0..255
        int colours;
        int clusters;
    };
    for (const image& im : {image{256, 3000, 16}, image{256, 3000, 64}, image{4, 64, 40},
                            image{3, 27, 20}, image{6, 400, 33}, image{256, 50, 2}, image{2, 8, 5},
                            image{256, 1500, 100}, image{3, 3000, 5}, image{6, 3000, 8},
                            image{256, 3000, 3}, image{2, 500, 7}, image{5, 2000, 1}}) {
        std::mt19937_64 random(static_cast<std::uint64_t>(im.colours * 131 + im.clusters));
        std::uniform_int_distribution<int> level(0, im.levels - 1);
        std::uniform_int_distribution<std::int64_t> count(1, 9);
        pixels p{};
        for (int c = 0; c < im.colours; ++c) {
            colour v;
            for (auto& ch : v) {
                ch = static_cast<std::uint8_t>(level(random) * 255 / (im.levels - 1));
            }
            const std::int64_t n = count(random);
            for (std::int64_t i = 0; i < n; ++i) {
                p.index.push_back(static_cast<std::uint32_t>(p.values.size()));
            }
            p.values.push_back(v);  // repeats stand for colours met again
            p.counts.push_back(n);
        }
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        std::vector<double> draws(draws_needed(im.clusters, 3));
        std::generate(draws.begin(), draws.end(), [&] { return uniform(random); });
        kmeans_input plain = p.input(im.clusters, 3, draws.data(), 1);
        plain.grouped_from = std::numeric_limits<int>::max();
        const kmeans_result expected = kmeans_fit(plain);
        for (unsigned threads : {1u, 2u}) {
            kmeans_input grouped = p.input(im.clusters, 3, draws.data(), threads);
            grouped.grouped_from = 1;
            const kmeans_result got = kmeans_fit(grouped);
            EXPECT_EQ(got.undecided, expected.undecided) << im.colours << " " << im.clusters;
            EXPECT_EQ(got.labels, expected.labels) << im.colours << " " << im.clusters;
            EXPECT_EQ(got.centres, expected.centres) << im.colours << " " << im.clusters;
        }
    }
}

// The tolerance known from the colours bounds the one NumPy's pass over the pixels gives, and
// narrowly: one colour, two far apart, and photos' worth of colours in scattered pixels.
TEST(Tolerance, BandHoldsThePixelsSum) {
    std::mt19937_64 random(5);
    struct shape {
        std::size_t pixels, distinct;
    };
    for (const shape s : {shape{7, 1}, shape{9, 2}, shape{5000, 300}, shape{300000, 60000}}) {
        pixels p{};
        for (std::size_t c = 0; c < s.distinct; ++c) {
            p.values.push_back(c == 1 ? colour{255, 255, 255}
                                      : colour{static_cast<std::uint8_t>(random()),
                                               static_cast<std::uint8_t>(random() % 7),
                                               static_cast<std::uint8_t>(random() % 256)});
            p.counts.push_back(0);
        }
        for (std::size_t i = 0; i < s.pixels; ++i) {
            const auto c = static_cast<std::uint32_t>(i < s.distinct ? i : random() % s.distinct);
            p.index.push_back(c);
            ++p.counts[c];
        }
        const kmeans_input in = p.input(2, 1, nullptr, 1);
        const kmeans::colours x(in);
        const kmeans::tolerance tol(in, x);
        const double exact = tol.exact();
        EXPECT_LE(tol.low(), exact) << s.pixels;
        EXPECT_GE(tol.high(), exact) << s.pixels;
        EXPECT_LE(tol.high() - tol.low(), 1e-9 * exact) << s.pixels;
    }
}

}  // namespace
}  // namespace huesift::clustering
