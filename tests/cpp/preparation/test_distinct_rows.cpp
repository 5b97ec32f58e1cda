// The distinct rows, their counts, first rows and each row's number equal a literal ordered-map
// count, for inputs whose colours outgrow the hash table several times, for a few colours over
// many rows, and for the direct table; rows read through strides as well as packed, on one
// thread and shared among several.
#include "preparation/distinct_rows.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace huesift::preparation {
namespace {

struct literal {
    std::vector<std::array<std::uint8_t, 3>> values;
    std::vector<std::int64_t> counts, first;
    std::vector<std::uint32_t> index;
};

literal count_literally(const std::vector<std::uint8_t>& rgb) {
    literal out;
    std::map<std::array<std::uint8_t, 3>, std::uint32_t> seen;
    for (std::size_t i = 0; 3 * i < rgb.size(); ++i) {
        const std::array<std::uint8_t, 3> v{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]};
        const auto [at, fresh] = seen.try_emplace(v, static_cast<std::uint32_t>(out.values.size()));
        if (fresh) {
            out.values.push_back(v);
            out.counts.push_back(0);
            out.first.push_back(static_cast<std::int64_t>(i));
        }
        ++out.counts[at->second];
        out.index.push_back(at->second);
    }
    return out;
}

TEST(DistinctRows, EqualALiteralCount) {
    struct size {
        std::size_t rows;
        std::uint32_t colours;  // drawn among this many
    };
    // none, one, a few colours on many rows, more colours than the first table holds (it
    // doubles several times), nearly every row its own, many colours over enough rows for
    // threads to share, and the direct table's size
    for (const size s :
         {size{0, 1}, size{1, 1}, size{50000, 7}, size{300000, 90000}, size{200000, 1u << 24},
          size{(1u << 21) + 7, 300000}, size{(1u << 23) + 5, 5000}}) {
        std::mt19937 random(static_cast<std::uint32_t>(s.rows));
        std::vector<std::uint8_t> rgb(3 * s.rows);
        for (std::size_t i = 0; i < s.rows; ++i) {
            const std::uint32_t c = (random() % s.colours) * 2654435761u;  // spread over the cube
            rgb[3 * i] = static_cast<std::uint8_t>(c >> 24);
            rgb[3 * i + 1] = static_cast<std::uint8_t>(c >> 16);
            rgb[3 * i + 2] = static_cast<std::uint8_t>(c >> 8);
        }
        const literal expected = count_literally(rgb);
        // packed, and channel by channel (a transposed copy read with swapped strides)
        std::vector<std::uint8_t> planes(rgb.size());
        for (std::size_t i = 0; i < s.rows; ++i) {
            for (std::size_t ch = 0; ch < 3; ++ch) {
                planes[ch * s.rows + i] = rgb[3 * i + ch];
            }
        }
        const auto rows = static_cast<std::ptrdiff_t>(s.rows);
        for (const byte_rows in :
             {byte_rows{rgb.data(), rows, 3, 1}, byte_rows{planes.data(), rows, 1, rows}})
            for (const unsigned threads : {1u, 2u, 3u, 8u}) {
                const distinct_rows got = find_distinct_rows(in, nullptr, threads);
                SCOPED_TRACE(testing::Message() << s.rows << " rows, " << threads << " threads");
                ASSERT_EQ(got.values, expected.values);
                ASSERT_EQ(got.counts, expected.counts);
                ASSERT_EQ(got.first, expected.first);
                ASSERT_EQ(std::vector<std::uint32_t>(got.index, got.index + s.rows),
                          expected.index);
            }
    }
}

}  // namespace
}  // namespace huesift::preparation
