// The levels below the mosaic: their sizes and the rounded 2 x 2 means.
#include "mosaic/pyramid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using orvane::plane_size;

namespace {

std::vector<std::uint16_t> halved(const std::vector<std::uint16_t>& in, plane_size size,
                                  int threads = 1)
{
    const plane_size half = orvane::half_size(size);
    std::vector<std::uint16_t> out(static_cast<std::size_t>(half.width * half.height), 0xdead);
    orvane::halve_plane(in.data(), size, out.data(), threads);
    return out;
}

// Worked by hand: a truncating mean, a tie rounded down, a sum in 16 bits, or
// an odd edge averaged with a pixel past it each give another number.
TEST(Pyramid, MeansAreRoundedToNearestWithFewerPixelsAtOddEdges)
{
    const std::vector<std::uint16_t> in = {
        1,     2,     5,  // 11 / 4 = 2.75 -> 3; 11 / 2 = 5.5 -> 6
        4,     4,     6,  //
        65535, 65535, 9,  // 131070 / 2 = 65535; 9 alone
    };
    EXPECT_EQ(halved(in, {3, 3}), (std::vector<std::uint16_t>{3, 6, 65535, 9}));
    // 2.25 -> 2, 2.5 -> 3, and four samples at the top of the range.
    EXPECT_EQ(halved({2, 2, 2, 3, 65535, 65535, 2, 3, 3, 2, 65535, 65535}, {6, 2}),
              (std::vector<std::uint16_t>{2, 3, 65535}));
    // Rows wide enough for eight means at a time: the range's ends and ties.
    std::vector<std::uint16_t> wide(2 * 20, 65535);
    for (std::size_t x = 0; x < 20; x += 4)
        wide[x] = wide[x + 1] = 0;  // 2 x 65535 / 4 = 32767.5 -> 32768
    wide[22] = 1;                   // (3 x 65535 + 1) / 4 = 49151.5 -> 49152
    std::vector<std::uint16_t> want = {32768, 49152, 32768, 65535, 32768,
                                       65535, 32768, 65535, 32768, 65535};
    EXPECT_EQ(halved(wide, {20, 2}), want);
}

TEST(Pyramid, ThreadsGiveTheSameLevelAsTheMeanOfEachBlock)
{
    const plane_size size{257, 131};
    std::vector<std::uint16_t> in(static_cast<std::size_t>(size.width * size.height));
    std::mt19937 random(3);
    for (auto& v : in)
        v = static_cast<std::uint16_t>(random());
    const std::vector<std::uint16_t> one = halved(in, size, 1);
    EXPECT_EQ(halved(in, size, 3), one);
    const plane_size half = orvane::half_size(size);
    for (std::int64_t y = 0; y < half.height; ++y)
        for (std::int64_t x = 0; x < half.width; ++x) {
            double sum = 0;
            int count = 0;
            for (std::int64_t v = 2 * y; v < std::min(2 * y + 2, size.height); ++v)
                for (std::int64_t u = 2 * x; u < std::min(2 * x + 2, size.width); ++u, ++count)
                    sum += in[static_cast<std::size_t>(v * size.width + u)];
            ASSERT_EQ(one[static_cast<std::size_t>(y * half.width + x)],
                      static_cast<std::uint16_t>(std::floor(sum / count + 0.5)))
                << x << ", " << y;
        }
}

// Levels go on while either side passes the bound, sides rounded up.
TEST(Pyramid, LevelsStopWhenBothSidesAreWithinTheBound)
{
    using sizes = std::vector<plane_size>;
    EXPECT_EQ(orvane::pyramid_sizes({1024, 1024}, 1024), (sizes{{1024, 1024}}));
    EXPECT_EQ(orvane::pyramid_sizes({3, 1025}, 1024), (sizes{{3, 1025}, {2, 513}}));
    EXPECT_EQ(orvane::pyramid_sizes({4097, 5}, 1024),
              (sizes{{4097, 5}, {2049, 3}, {1025, 2}, {513, 1}}));
    EXPECT_EQ(orvane::pyramid_sizes({0, 0}, 1024), (sizes{{0, 0}}));
}

}  // namespace
