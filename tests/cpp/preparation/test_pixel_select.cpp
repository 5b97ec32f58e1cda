// Packed rows without a mask, read a word at a pixel, select and copy what the byte-by-byte
// path selects under a mask that keeps every pixel: narrow and padded rows, one column, black
// pixels at the rows' ends. Given less room than there are pixels (the image changed after it
// was counted), the copy fills the room it has and writes nothing past it.
#include "preparation/pixel_select.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace huesift::preparation {
namespace {

TEST(PixelSelect, PackedRowsMatchTheBytePath) {
    std::mt19937 random(5);
    struct shape {
        std::ptrdiff_t rows, cols, padding;  // padding: bytes after each row
    };
    for (const shape s : {shape{1, 1, 0}, shape{3, 1, 0}, shape{1, 2, 0}, shape{4, 5, 0},
                          shape{4, 5, 3}, shape{7, 13, 1}, shape{2, 64, 0}}) {
        const std::ptrdiff_t row_stride = 3 * s.cols + s.padding;
        std::vector<std::uint8_t> image(static_cast<std::size_t>(s.rows * row_stride));
        for (std::uint8_t& byte : image) {
            byte = random() % 3 == 0 ? static_cast<std::uint8_t>(random()) : 0;  // black often
        }
        const pixel_grid grid{image.data(), s.rows, s.cols, row_stride, 3, 1};
        const std::vector<std::uint8_t> every(static_cast<std::size_t>(s.rows * s.cols), 1);
        const selection all{every.data(), s.cols, 1};
        SCOPED_TRACE(testing::Message() << s.rows << " x " << s.cols << " + " << s.padding);
        const std::size_t n = count_kept(grid, &all);
        ASSERT_EQ(count_kept(grid, nullptr), n);
        std::vector<std::uint8_t> expected(3 * n);
        ASSERT_EQ(gather_kept(grid, &all, expected.data(), n), n);
        for (const std::size_t room : {n, n - n / 2, std::size_t{1}, std::size_t{0}}) {
            if (room > n) {
                continue;
            }
            constexpr std::uint8_t guard = 0xA5;
            std::vector<std::uint8_t> out(3 * room + 8, guard);
            EXPECT_EQ(gather_kept(grid, nullptr, out.data(), room), n) << "room " << room;
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + 3 * room, expected.begin()))
                << "room " << room;
            for (std::size_t i = 3 * room; i < out.size(); ++i) {
                ASSERT_EQ(out[i], guard) << "room " << room << ", byte " << i;
            }
        }
    }
}

// Shared among threads by stretches of rows, with and without a mask, the same pixels in the
// same order; counts that no longer hold (the image changed) are told, with nothing written
// past the room they give.
TEST(PixelSelect, StretchesOfRowsMatchOnePass) {
    std::mt19937 random(9);
    const std::ptrdiff_t rows = 515, cols = 601, row_stride = 3 * cols + 2;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(rows * row_stride));
    for (std::uint8_t& byte : image) {
        byte = random() % 3 == 0 ? static_cast<std::uint8_t>(random()) : 0;
    }
    std::vector<std::uint8_t> picked(static_cast<std::size_t>(rows * cols));
    for (std::uint8_t& p : picked) {
        p = static_cast<std::uint8_t>(random() % 2);
    }
    const pixel_grid grid{image.data(), rows, cols, row_stride, 3, 1};
    const selection some{picked.data(), cols, 1};
    for (const selection* mask : {static_cast<const selection*>(nullptr), &some}) {
        const std::size_t n = count_kept(grid, mask);
        std::vector<std::uint8_t> expected(3 * n);
        ASSERT_EQ(gather_kept(grid, mask, expected.data(), n), n);
        for (unsigned threads : {1u, 2u, 8u}) {
            std::vector<std::size_t> counts = count_kept_by_rows(grid, mask, threads);
            ASSERT_EQ(counts.size(), threads);
            std::size_t total = 0;
            for (std::size_t c : counts) {
                total += c;
            }
            ASSERT_EQ(total, n);
            std::vector<std::uint8_t> out(3 * n);
            EXPECT_TRUE(gather_kept_by_rows(grid, mask, counts, out.data(), threads));
            EXPECT_EQ(out, expected) << threads << " threads";
            if (threads > 1) {
                constexpr std::uint8_t guard = 0xA5;
                counts.back() -= 1;
                std::vector<std::uint8_t> short_room(3 * (n - 1) + 8, guard);
                EXPECT_FALSE(gather_kept_by_rows(grid, mask, counts, short_room.data(), threads));
                for (std::size_t i = 3 * (n - 1); i < short_room.size(); ++i) {
                    ASSERT_EQ(short_room[i], guard) << threads << " threads, byte " << i;
                }
            }
        }
    }
}

}  // namespace
}  // namespace huesift::preparation
