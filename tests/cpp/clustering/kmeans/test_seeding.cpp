// The k-means++ draws' search in running sums kept per block, against a literal
// np.searchsorted(np.cumsum(distance[index]), threshold) over random pixels, as the distances
// fall centre after centre.
#include "clustering/kmeans/seeding.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace huesift::clustering::kmeans {
namespace {

constexpr std::size_t block = colour_blocks::block;

std::vector<std::size_t> searchsorted(const std::vector<std::uint32_t>& index,
                                      const std::vector<std::int32_t>& distance,
                                      const std::vector<std::uint64_t>& threshold) {
    std::vector<std::uint64_t> cumsum;
    std::uint64_t total = 0;
    for (std::uint32_t c : index) {
        cumsum.push_back(total += static_cast<std::uint64_t>(distance[c]));
    }
    std::vector<std::size_t> found;
    for (std::uint64_t t : threshold) {
        const auto at = std::lower_bound(cumsum.begin(), cumsum.end(), t) - cumsum.begin();
        found.push_back(std::min(static_cast<std::size_t>(at), index.size() - 1));
    }
    return found;
}

TEST(DrawSearch, MatchesSearchsortedOverTheCumulativeSum) {
    std::mt19937_64 random(7);
    struct shape {
        std::size_t pixels, distinct;
        bool runs = true;
    };
    for (const shape s :
         {shape{1, 1}, shape{block, 3}, shape{3 * block + 123, 40}, shape{5 * block, 700},
          shape{2 * block + 1, 5000}, shape{4 * block + 5, 20000, false}}) {
        // Runs of equal colours, as in photos, between single pixels; or single pixels alone,
        // too many colours for a span to list.
        std::vector<std::uint32_t> index;
        while (index.size() < s.pixels) {
            const auto c = static_cast<std::uint32_t>(random() % s.distinct);
            const std::size_t run = s.runs && random() % 3 == 0 ? random() % 9000 : 1;
            index.insert(index.end(), std::min(run, s.pixels - index.size()), c);
        }
        const colour_blocks where(index.data(), s.pixels, s.distinct, 1, true);
        for (unsigned threads : {2u, 8u}) {
            const colour_blocks other(index.data(), s.pixels, s.distinct, threads, true);
            for (std::size_t c = 0; c < s.distinct; ++c) {
                ASSERT_TRUE(std::equal(where.begin(c), where.end(c), other.begin(c), other.end(c)));
            }
        }
        draw_search search(where);
        // and with no entries, summing the blocks as it goes
        const colour_blocks unindexed(index.data(), s.pixels, s.distinct, 1, false);
        const draw_search as_it_goes(unindexed);
        // and by spans of colours: of one block, of two (the last one short; none listed among
        // the single pixels of 20 000 colours), threads or not
        const colour_blocks spans_of_one(index.data(), s.pixels, s.distinct, 1, false, 1);
        const colour_blocks spans_of_two(index.data(), s.pixels, s.distinct, 3, false, 2);
        const draw_search by_spans[] = {draw_search(spans_of_one), draw_search(spans_of_two)};
        std::vector<std::int32_t> distance(s.distinct, seeding::far);
        for (int round = 0; round < 6; ++round) {
            // Some colours come nearer, to nothing in the later rounds, all of them in the last;
            // the sums follow them colour by colour, or are counted anew.
            for (std::size_t c = 0; c < s.distinct; ++c) {
                if (round == 0 || round == 5 || random() % 3 == 0) {
                    // squared distances between 8-bit colours: at most 3 * 255^2
                    const std::int32_t most = round == 0 ? 3 * 255 * 255 : distance[c] / 2;
                    const std::int32_t after =
                        round < 4 ? static_cast<std::int32_t>(random() % (most + 1)) : 0;
                    if (round != 2) {
                        search.lower(c, static_cast<std::uint32_t>(distance[c] - after));
                    }
                    distance[c] = after;
                }
            }
            if (round == 2) {
                search.recount(index.data(), distance.data());
            }
            std::vector<std::uint64_t> cumsum{0};
            for (std::uint32_t c : index) {
                cumsum.push_back(cumsum.back() + static_cast<std::uint64_t>(distance[c]));
            }
            const std::uint64_t total = cumsum.back();
            std::vector<std::uint64_t> threshold{0, total, total + 1, total / 2, total / 2};
            for (std::size_t end = block; end <= s.pixels; end += block) {
                threshold.push_back(cumsum[end]);  // a block's last pixel reaches it exactly
                threshold.push_back(cumsum[end] + 1);
            }
            for (int t = 0; t < 6; ++t) {
                threshold.push_back(total == 0 ? 0 : random() % total);
            }
            std::shuffle(threshold.begin(), threshold.end(), random);
            // All of them, and the three or four a draw asks for, which the search may find
            // from either end.
            std::vector<std::vector<std::uint64_t>> sets{threshold};
            for (std::size_t t = 0; t + 4 <= threshold.size(); t += 3 + t % 2) {
                sets.emplace_back(threshold.begin() + t, threshold.begin() + t + 3 + t % 2);
            }
            for (const std::vector<std::uint64_t>& set : sets) {
                const std::vector<std::size_t> expected = searchsorted(index, distance, set);
                EXPECT_EQ(search.reaching(index.data(), distance.data(), set, total), expected)
                    << s.pixels << " pixels, round " << round;
                EXPECT_EQ(as_it_goes.reaching(index.data(), distance.data(), set, total), expected)
                    << s.pixels << " pixels, round " << round;
                for (const draw_search& spanned : by_spans) {
                    EXPECT_EQ(spanned.reaching(index.data(), distance.data(), set, total), expected)
                        << s.pixels << " pixels, round " << round << ", by spans";
                }
            }
        }
    }
}

// The candidates' potentials and a new centre's distances, eight colours at a time, against the
// plain loops and a literal sum: tails of every length, distances at both ends and tied, the
// most pixels there can be.
TEST(Seeding, WideLoopsEqualPlain) {
    std::mt19937_64 random(11);
    for (std::size_t distinct : {1, 7, 8, 9, 23, 1000}) {
        std::vector<colour> values(distinct);
        std::vector<std::int64_t> counts(distinct);
        std::vector<std::int32_t> closest(distinct);
        for (std::size_t c = 0; c < distinct; ++c) {
            for (auto& v : values[c]) {
                v = static_cast<std::uint8_t>(random() % 4 ? random() : random() % 2 * 255);
            }
            // two colours of 2^31 - 1 pixels, twice as many as a fit takes
            counts[c] = c == 0 || c == distinct - 1
                            ? (std::int64_t{1} << 31) - 1
                            : static_cast<std::int64_t>(random() % 5000 + 1);
            closest[c] = c % 3 == 0 ? seeding::far % (3 * 255 * 255 + 1)
                                    : static_cast<std::int32_t>(random() % (3 * 255 * 255 + 1));
        }
        for (std::size_t c = 1; c < distinct; c += 4) {  // as near as the last candidate
            closest[c] = 0;
            for (int ch = 0; ch < 3; ++ch) {
                const int e = values[c][ch] - values[distinct / 2][ch];
                closest[c] += e * e;
            }
        }
        std::vector<std::uint32_t> index(distinct);
        const kmeans_input in{
            values.data(), counts.data(), distinct, index.data(), distinct, 2, 1, 300,
            1e-4,          nullptr,       1};
        const colours x(in);
        const colour candidates[4] = {{0, 0, 0}, {255, 255, 255}, values[0], values[distinct / 2]};
        for (std::size_t count = 1; count <= 4; ++count) {
            std::uint64_t wide[4] = {}, plain[4] = {};
            potentials_with(x, closest.data(), candidates, count, wide, true);
            potentials_with(x, closest.data(), candidates, count, plain, false);
            for (std::size_t t = 0; t < count; ++t) {
                std::uint64_t expected = 0;
                for (std::size_t c = 0; c < distinct; ++c) {
                    std::int64_t d = 0;
                    for (int ch = 0; ch < 3; ++ch) {
                        const int e = values[c][ch] - candidates[t][ch];
                        d += e * e;
                    }
                    expected += static_cast<std::uint64_t>(counts[c]) *
                                static_cast<std::uint64_t>(std::min<std::int64_t>(d, closest[c]));
                }
                EXPECT_EQ(plain[t], expected) << distinct << " colours, candidate " << t;
                EXPECT_EQ(wide[t], expected) << distinct << " colours, candidate " << t;
            }
        }
        for (int j = 0; j < 4; ++j) {
            std::vector<std::int32_t> nearest[2], next[2], labels[2];
            for (int way = 0; way < 2; ++way) {
                nearest[way] = closest;
                next[way] = closest;
                for (std::size_t c = 0; c < distinct; ++c) {
                    next[way][c] += c % 2 == 0 ? static_cast<std::int32_t>(c % 7 * 9000) : 0;
                }
                labels[way].assign(distinct, 7);
                join_nearest(x, candidates[j], j, nearest[way].data(), next[way].data(),
                             labels[way].data(), way == 0);
            }
            EXPECT_EQ(nearest[0], nearest[1]) << distinct << " colours, centre " << j;
            EXPECT_EQ(next[0], next[1]) << distinct << " colours, centre " << j;
            EXPECT_EQ(labels[0], labels[1]) << distinct << " colours, centre " << j;
        }
    }
}

}  // namespace
}  // namespace huesift::clustering::kmeans
