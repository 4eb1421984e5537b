// The one-pass assembly and the fused reduction against the library's own calls.
#include "slice/assemble.hpp"
#include "slice/reduce.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>

using orvane::image;

namespace {

// Empty when the images are the same size and hold the same pixels; else where they first differ.
std::string difference(const image& got, const image& want)
{
    std::ostringstream out;
    if (got.width() != want.width() || got.height() != want.height() ||
        got.depth() != want.depth() || got.spectrum() != want.spectrum()) {
        out << "size " << got.width() << "x" << got.height() << "x" << got.depth() << "x"
            << got.spectrum() << ", expected " << want.width() << "x" << want.height() << "x"
            << want.depth() << "x" << want.spectrum();
        return out.str();
    }
    int count = 0;
    cimg_forXY(want, x, y) if (got(x, y) != want(x, y) && count++ == 0) out
        << "pixel (" << x << ", " << y << ") is " << got(x, y) << ", expected " << want(x, y);
    if (count)
        out << "; " << count << " pixels differ";
    return out.str();
}

// ---------------------------------------------------------------- assembly

struct layout {
    std::int32_t pitch = 0, yoffset = 0, xoverlap = 0;
    int canvas_width = 0, canvas_height = 0;
};

// What the library's crop, shift, flip and draw make of the tiles, in column order.
image library_mosaic(const image& background, const std::vector<image>& tiles, const layout& l)
{
    image canvas(background);
    for (std::int32_t j = 0; j < static_cast<std::int32_t>(tiles.size()); ++j) {
        const image& tile = tiles[static_cast<std::size_t>(j)];
        image piece = tile.get_crop(l.xoverlap, tile.width() - l.xoverlap - 1, 0);
        piece.shift(0, l.yoffset * j, 0, 0, 0);
        piece.mirror('x');
        canvas.draw_image(l.pitch * j, 0, 0, 0, piece, 1.0f);
    }
    return canvas;
}

class FusedAssembly : public ::testing::Test {
protected:
    std::mt19937 random{20240611};

    image noise(int width, int height, int depth = 1, int channels = 1)
    {
        image tile(width, height, depth, channels);
        std::uniform_int_distribution<int> value(1, 65535);  // never 0: a zero fill shows
        cimg_for(tile, p, std::uint16_t) *p = static_cast<std::uint16_t>(value(random));
        return tile;
    }

    // The canvas starts as noise, so a pixel written where nothing should be drawn
    // (below a short piece, past its clipped edge) shows as well as a wrong one.
    void expect_same(const std::vector<image>& tiles, const layout& l)
    {
        const image background = noise(l.canvas_width, l.canvas_height);
        const image want = library_mosaic(background, tiles, l);
        for (int threads : {1, 2}) {
            image got(background);
            for (std::int32_t j = 0; j < static_cast<std::int32_t>(tiles.size()); ++j)
                orvane::draw_tile(got, tiles[static_cast<std::size_t>(j)], j, l.pitch, l.yoffset,
                                  l.xoverlap, threads);
            EXPECT_EQ(difference(got, want), "")
                << "threads " << threads << ", pitch " << l.pitch << ", yoffset " << l.yoffset
                << ", xoverlap " << l.xoverlap;
        }
    }

    // splitnumber tiles of the reference size, on the canvas process_slice would make.
    void expect_same_uniform(int width, int height, int columns, std::int32_t xoverlap,
                             std::int32_t yoffset)
    {
        std::vector<image> tiles;
        for (int j = 0; j < columns; ++j)
            tiles.push_back(noise(width, height));
        const std::int32_t pitch = width - 2 * xoverlap;
        expect_same(tiles, {pitch, yoffset, xoverlap, pitch * columns, height});
    }
};

TEST_F(FusedAssembly, ZeroNegativeAndOversizedShifts)
{
    expect_same_uniform(40, 30, 4, 3, 0);
    expect_same_uniform(40, 30, 4, 3, -7);   // moves up, zero rows at the bottom
    expect_same_uniform(40, 30, 4, 3, 12);   // columns 3 and 4 shifted past the height
    expect_same_uniform(40, 30, 3, 3, 30);   // exactly the height for column 1
    expect_same_uniform(40, 30, 3, 3, -45);  // above the top
}

TEST_F(FusedAssembly, NegativeOverlapGivesZeroMargins)
{
    expect_same_uniform(40, 30, 3, -5, 2);
}

TEST_F(FusedAssembly, TilesOfOtherSizesLeaveGapsOrAreOverwritten)
{
    // Reference 40 x 30: wider (the next column overwrites it), narrower (a gap),
    // shorter (rows below left alone), taller (clipped), and a wide last column cut at the edge.
    const std::vector<image> tiles{noise(55, 30), noise(25, 30), noise(40, 18), noise(40, 45),
                                   noise(70, 30)};
    expect_same(tiles, {34, 3, 3, 34 * 5, 30});
    expect_same(tiles, {34, -4, 3, 34 * 5, 30});
}

TEST_F(FusedAssembly, CrossedCropLimitsAreSwapped)
{
    // No wider than 2 * xoverlap: the limits cross and the piece reaches outside the tile.
    const std::vector<image> tiles{noise(40, 20), noise(24, 20), noise(13, 20), noise(1, 20)};
    expect_same(tiles, {16, 1, 12, 16 * 4, 20});
}

TEST_F(FusedAssembly, OnlyTheFirstChannelAndSliceAreDrawn)
{
    const std::vector<image> tiles{noise(30, 20, 1, 3), noise(30, 20, 3, 1), noise(30, 20, 2, 3)};
    expect_same(tiles, {24, 2, 3, 24 * 3, 20});
}

TEST_F(FusedAssembly, RandomGeometriesMatchTheLibrary)
{
    std::uniform_int_distribution<int> size(1, 60), columns(1, 5), overlap(-6, 20), shift(-25, 25);
    for (int trial = 0; trial < 150; ++trial) {
        const int width = size(random), height = size(random);
        const std::int32_t xoverlap = overlap(random), yoffset = shift(random);
        const std::int32_t pitch = width - 2 * xoverlap;
        if (pitch <= 0)
            continue;  // the canvas would be empty or refused
        const int count = columns(random);
        std::vector<image> tiles;
        for (int j = 0; j < count; ++j) {
            const bool reference = random() % 2 == 0;
            tiles.push_back(reference ? noise(width, height) : noise(size(random), size(random)));
        }
        expect_same(tiles, {pitch, yoffset, xoverlap, pitch * count, height});
        if (HasFailure())
            return;
    }
}

TEST_F(FusedAssembly, AnEmptyTileIsTheLibrarysCropError)
{
    image canvas(10, 10, 1, 1, 0);
    const unsigned mode = cimg_library::cimg::exception_mode();
    cimg_library::cimg::exception_mode(0);  // the error is expected: keep the run's output clean
    try {
        orvane::draw_tile(canvas, image(), 0, 10, 0, 0);
        FAIL() << "no error";
    } catch (const cimg_library::CImgInstanceException& e) {
        EXPECT_NE(std::string(e.what()).find("crop(): Empty instance"), std::string::npos)
            << e.what();
    }
    cimg_library::cimg::exception_mode(mode);
}

// The whole slice from files: the tiles are loaded as the library loads them
// (a colour tile keeps its three channels, a multi-page one its slices).
TEST_F(FusedAssembly, AssembledSliceFromFilesMatchesTheLibrary)
{
    const std::string dir = orvane_test::make_temp_dir();
    const std::vector<image> sources{noise(36, 24), noise(36, 24, 1, 3), noise(36, 24, 2, 1),
                                     noise(44, 20)};
    std::vector<std::string> names;
    std::vector<image> loaded;
    for (std::size_t j = 0; j < sources.size(); ++j) {
        // The last tile is a PGM file, which the library's own loader reads.
        const bool pgm = j + 1 == sources.size();
        names.push_back(dir + "/t" + std::to_string(j) + (pgm ? ".pgm" : ".tif"));
        if (pgm)
            sources[j].save_pnm(names.back().c_str());
        else
            sources[j].save_tiff(names.back().c_str());
        // Tiles load as their first slice and first channel, all the mosaic uses.
        loaded.push_back(orvane::load_tile(names.back()));
        ASSERT_TRUE(loaded.back() == sources[j].get_slice(0).get_channel(0)) << names.back();
    }
    const layout l{30, 3, 3, 30 * 4, 24};
    const image want = library_mosaic(image(l.canvas_width, l.canvas_height, 1, 1, 0), sources, l);
    for (int threads : {1, 2}) {
        image got(l.canvas_width, l.canvas_height, 1, 1, 0xfffe);  // a canvas used before
        orvane::assemble_slice(got, 0, 36, names, 1, l.yoffset, l.xoverlap, 4, threads);
        EXPECT_EQ(difference(got, want), "") << "threads " << threads;
    }
}

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
    cimg_forXY(canvas, x, y) canvas(x, y) = rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
    return canvas;
}

class FusedReduction : public ::testing::Test {
protected:
    std::mt19937 random{7};

    image noise(int width, int height, int low = 0, int high = 65535)
    {
        image canvas(width, height);
        std::uniform_int_distribution<int> value(low, high);
        cimg_for(canvas, p, std::uint16_t) *p = static_cast<std::uint16_t>(value(random));
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
    // Rows 0 and 1 average to 0.5 and 1.5, stored as 0 and 1: 0.5 again, so 0 (a one-pass mean gives 1).
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
            sum += values[s] * static_cast<double>(std::min(end, (s + 1) * n) - std::max(begin, s * n));
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
            const auto row = exact_pass({canvas.data(0, y), canvas.data(0, y) + canvas.width()},
                                        out_width);
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

} // namespace
