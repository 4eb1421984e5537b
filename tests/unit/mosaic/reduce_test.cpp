// The reduced copy: area averaging with the image library's rounding.
#include "mosaic/reduce.hpp"

#include "image_compare.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

using orvane::image;
using orvane_test::difference;

namespace {

// ---------------------------------------------------------------- reduction

image library_reduced(const image& canvas, std::int32_t factor)
{
    const auto d = static_cast<unsigned int>(factor);
    image copy(canvas);
    copy.resize(static_cast<int>(canvas.width() / d), static_cast<int>(canvas.height() / d), -100,
                -100, 3, 0, 0, 0, 0, 0);
    return copy;
}

image from_rows(const std::vector<std::vector<std::uint16_t>>& rows)
{
    image canvas(static_cast<unsigned>(rows[0].size()), static_cast<unsigned>(rows.size()));
    cimg_forXY(canvas, x, y) canvas(x, y) =
        rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
    return canvas;
}

class FusedReduction : public ::testing::Test {
protected:
    std::mt19937 random{7};

    image noise(int width, int height, int low = 0, int high = 65535)
    {
        image canvas(width, height);
        std::uniform_int_distribution<int> value(low, high);
        cimg_for(canvas, p, std::uint16_t)* p = static_cast<std::uint16_t>(value(random));
        return canvas;
    }

    void expect_same(const image& canvas, std::int32_t factor)
    {
        const image want = library_reduced(canvas, factor);
        for (int threads : {1, 2})
            EXPECT_EQ(difference(orvane::reduce_canvas(canvas, factor, threads), want), "")
                << canvas.width() << "x" << canvas.height() << " by " << factor << ", threads "
                << threads;
    }
};

// Worked by hand; each also tells a wrong design apart from the library's.
TEST_F(FusedReduction, TruncatesBetweenThePasses)
{
    // Rows 0 and 1 average to 0.5 and 1.5, stored as 0 and 1: 0.5 again, so 0 (a one-pass mean
    // gives 1).
    const image reduced = orvane::reduce_canvas(from_rows({{0, 1}, {1, 2}}), 2);
    ASSERT_EQ(reduced.width(), 1);
    ASSERT_EQ(reduced.height(), 1);
    EXPECT_EQ(reduced(0, 0), 0);
}

TEST_F(FusedReduction, AveragesColumnsBeforeRows)
{
    // x first: 0.5 -> 0 and 1.5 -> 1, then 0; y first would give 1 and 1, then 1.
    // The right block: x first 3 and 4.5 -> 4, then 3.5 -> 3.
    const image reduced = orvane::reduce_canvas(from_rows({{1, 0, 3, 3}, {1, 2, 4, 5}}), 2);
    ASSERT_EQ(reduced.width(), 2);
    ASSERT_EQ(reduced.height(), 1);
    EXPECT_EQ(reduced(0, 0), 0);
    EXPECT_EQ(reduced(1, 0), 3);
}

TEST_F(FusedReduction, AnOddSizeSpreadsTheLastColumnOverTheBlocks)
{
    // Five columns into two: (10*2 + 20*2 + 30) / 5 = 18 and (30 + 40*2 + 50*2) / 5 = 42;
    // dropping the remainder column would give 15 and 35.
    const image reduced =
        orvane::reduce_canvas(from_rows({{10, 20, 30, 40, 50}, {10, 20, 30, 40, 50}}), 2);
    ASSERT_EQ(reduced.width(), 2);
    EXPECT_EQ(reduced(0, 0), 18);
    EXPECT_EQ(reduced(1, 0), 42);
    expect_same(from_rows({{10, 20, 30, 40, 50}, {10, 20, 30, 40, 50}}), 2);
}

// A slice thread reduces every slice into the same buffer: a smaller, empty
// or unreduced result after a larger one must show none of the earlier pixels.
TEST_F(FusedReduction, AReusedBufferHoldsOnlyTheLatestResult)
{
    orvane::image_buffer into;
    const image large = noise(403, 97, 60000, 65535);
    orvane::reduce_canvas(large, 4, 2, into);
    EXPECT_EQ(difference(into.pixels(), library_reduced(large, 4)), "");
    const image small = noise(41, 23, 0, 100);
    for (int threads : {1, 2}) {
        orvane::reduce_canvas(small, 3, threads, into);
        EXPECT_EQ(difference(into.pixels(), library_reduced(small, 3)), "") << threads;
    }
    orvane::reduce_canvas(small, 50, 1, into);
    EXPECT_TRUE(into.pixels().is_empty());
    orvane::reduce_canvas(small, 1, 1, into);
    EXPECT_EQ(difference(into.pixels(), small), "");
}

TEST_F(FusedReduction, AFactorLargerThanASideGivesAnEmptyImage)
{
    EXPECT_TRUE(orvane::reduce_canvas(noise(30, 5), 6).is_empty());
    EXPECT_TRUE(orvane::reduce_canvas(noise(5, 30), 6).is_empty());
    EXPECT_TRUE(orvane::reduce_canvas(image(), 2).is_empty());
    expect_same(noise(30, 5), 6);
    expect_same(noise(63, 64), 64);
    const image canvas = noise(7, 3);
    EXPECT_EQ(difference(orvane::reduce_canvas(canvas, 1), canvas), "");
}

TEST_F(FusedReduction, RandomOddSizesAndFactorsMatchTheLibrary)
{
    std::uniform_int_distribution<int> size(1, 400), factor(2, 64);
    for (int trial = 0; trial < 60; ++trial) {
        const int width = size(random) | 1, height = size(random) | 1;
        expect_same(noise(width, height), factor(random));
        if (HasFailure())
            return;
    }
    for (std::int32_t d = 2; d <= 64; ++d)
        expect_same(noise(257, 131), d);
}

// Sides that are whole multiples of the factor take a faster path; so do
// bright rows, where a changed order of operations would show.
TEST_F(FusedReduction, ExactMultiplesMatchTheLibrary)
{
    std::uniform_int_distribution<int> outputs(1, 40);
    for (std::int32_t d = 2; d <= 17; ++d) {
        expect_same(noise(d * outputs(random), d * outputs(random)), d);
        expect_same(noise(d * (8 * outputs(random) + 3), d * 3, 64000, 65535), d);
    }
    expect_same(noise(7392, 16, 60000, 65535), 4);
    expect_same(noise(7392, 9), 3);  // a multiple of 3 along x only
}

// One moving-average pass with exact sums: output t of n covers source units
// [t * length, (t + 1) * length) with every source sample n units wide.
std::vector<std::uint16_t> exact_pass(const std::vector<std::uint16_t>& values, unsigned n)
{
    const auto length = static_cast<unsigned long long>(values.size());
    std::vector<std::uint16_t> out(n);
    for (unsigned t = 0; t < n; ++t) {
        double sum = 0;
        const unsigned long long begin = t * length, end = begin + length;
        for (unsigned long long s = begin / n; s * n < end; ++s)
            sum += values[s] *
                   static_cast<double>(std::min(end, (s + 1) * n) - std::max(begin, s * n));
        out[t] = static_cast<std::uint16_t>(sum / static_cast<double>(length));
    }
    return out;
}

// Near-white rows thousands of pixels wide: the single-precision sums of the
// library lose units that a more exact sum would keep.
TEST_F(FusedReduction, BrightWideImagesKeepTheLibrarysRounding)
{
    const image canvas = noise(7793, 12, 65000, 65535);
    for (std::int32_t d : {2, 3, 4, 5}) {
        expect_same(canvas, d);
        // The same two truncating passes with exact sums: this case must tell them apart.
        const unsigned out_width = canvas.width() / d, out_height = canvas.height() / d;
        image by_x(out_width, canvas.height());
        cimg_forY(canvas, y)
        {
            const auto row =
                exact_pass({canvas.data(0, y), canvas.data(0, y) + canvas.width()}, out_width);
            std::copy(row.begin(), row.end(), by_x.data(0, y));
        }
        image exact(out_width, out_height);
        cimg_forX(by_x, x)
        {
            std::vector<std::uint16_t> column;
            cimg_forY(by_x, y) column.push_back(by_x(x, y));
            const auto reduced = exact_pass(column, out_height);
            cimg_forY(exact, y) exact(x, y) = reduced[static_cast<std::size_t>(y)];
        }
        EXPECT_NE(difference(orvane::reduce_canvas(canvas, d), exact), "") << "factor " << d;
    }
}

// Width times reduced width past 2^32: the library's unit count wraps and it
// leaves the outputs past the wrap at 0.
TEST_F(FusedReduction, AnAxisWhoseUnitCountWrapsMatchesTheLibrary)
{
    expect_same(noise(100001, 2, 0, 100), 2);
}

TEST_F(FusedReduction, RefusesWhatItCannotReduce)
{
    EXPECT_THROW(orvane::reduce_canvas(noise(8, 8), 0), std::invalid_argument);
    EXPECT_THROW(orvane::reduce_canvas(image(8, 8, 1, 3, 0), 2), std::invalid_argument);
    EXPECT_THROW(orvane::reduce_canvas(image(8, 8, 2, 1, 0), 2), std::invalid_argument);
}

}  // namespace
