// The mosaic geometry of one slice, drawn from tile files.
#include "base/error.hpp"
#include "compat/library_conventions.hpp"
#include "io/tile_loader.hpp"
#include "mosaic/assemble.hpp"

#include "image_compare.hpp"
#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using orvane::image;

namespace {

// Tiles whose pixels say where they came from: in "x" mode a pixel holds
// 1000 * (column + 1) + tile x, in "y" mode 1000 * (column + 1) + tile y, so a
// wrong trim, flip, shift or column order shows as a wrong number.
enum class encode { x, y };

std::uint16_t code(encode mode, std::uint32_t column, std::uint32_t x, std::uint32_t y)
{
    return static_cast<std::uint16_t>(1000 * (column + 1) + (mode == encode::x ? x : y));
}

struct geometry {
    std::uint32_t width = 200, height = 150;  // reference tile
    std::int32_t xoverlap = 10, yoffset = 5, splitnumber = 3, slice_count = 2, slice = 1;
    // Size of each tile column's tiles when they differ from the reference.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tile_sizes;
};

class Assembly : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();

    image assemble(const geometry& g, encode mode)
    {
        std::vector<std::string> names;
        for (std::int32_t column = 0; column < g.splitnumber; ++column) {
            for (std::int32_t slice = 0; slice < g.slice_count; ++slice) {
                const std::string name = dir + "/" + (mode == encode::x ? "x" : "y") +
                                         std::to_string(column) + "_" + std::to_string(slice) +
                                         ".tif";
                auto [w, h] =
                    g.tile_sizes.empty() ? std::make_pair(g.width, g.height) : g.tile_sizes[column];
                // Only the slice under test holds codes; the others are a constant
                // that would show if the wrong slice were loaded.
                const bool wanted = slice == g.slice;
                orvane_test::write_tile(name, w, h, [&](std::uint32_t x, std::uint32_t y) {
                    return wanted ? code(mode, column, x, y) : std::uint16_t{7};
                });
                names.push_back(name);
            }
        }
        const std::int32_t pitch = static_cast<std::int32_t>(g.width) - 2 * g.xoverlap;
        // A slice thread's canvas holds its last slice: start from memory
        // full of other pixels, which no tile may leave showing.
        image first;
        for (int threads : {1, 3}) {
            reused.resize(static_cast<std::uint32_t>(pitch * g.splitnumber), g.height);
            reused.pixels().fill(0xfffe);
            const orvane::acquisition tiles(names, g.splitnumber, {g.width, g.height});
            orvane::assemble_slice(reused.pixels(), orvane::slice_tile_files(tiles, g.slice),
                                   orvane::mosaic_layout(tiles, g.xoverlap, g.yoffset), threads);
            if (first.is_empty())
                first.assign(reused.pixels(), false);
            else if (first != reused.pixels())
                ADD_FAILURE() << threads << " threads draw another mosaic than 1";
        }
        return first;
    }

    orvane::image_buffer reused;
};

// The mosaic geometry stated as a model: which tile pixel (if any) lands on
// canvas pixel (cx, cy). Higher columns are drawn later and win.
std::uint16_t expected(const geometry& g, encode mode, std::int32_t cx, std::int32_t cy)
{
    const std::int32_t pitch = static_cast<std::int32_t>(g.width) - 2 * g.xoverlap;
    std::uint16_t value = 0;
    for (std::int32_t j = 0; j < g.splitnumber; ++j) {
        auto [w, h] = g.tile_sizes.empty() ? std::make_pair(g.width, g.height) : g.tile_sizes[j];
        std::int32_t x0 = g.xoverlap, x1 = static_cast<std::int32_t>(w) - g.xoverlap - 1;
        if (x0 > x1)
            std::swap(x0, x1);
        const std::int32_t piece_width = x1 - x0 + 1;
        const std::int32_t u = cx - pitch * j;  // column inside the piece
        if (u < 0 || u >= piece_width)
            continue;
        if (cy >= static_cast<std::int32_t>(h))
            continue;                    // the piece is as tall as its tile: nothing drawn below it
        const std::int32_t tx = x1 - u;  // flipped
        const std::int32_t ty = cy - g.yoffset * j;
        const bool inside = tx >= 0 && tx < static_cast<std::int32_t>(w) && ty >= 0 &&
                            ty < static_cast<std::int32_t>(h);
        value = inside ? code(mode, static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(tx),
                              static_cast<std::uint32_t>(ty))
                       : 0;
    }
    return value;
}

void expect_model(const image& canvas, const geometry& g, encode mode)
{
    int mismatches = 0;
    for (int cy = 0; cy < canvas.height(); ++cy)
        for (int cx = 0; cx < canvas.width(); ++cx)
            if (canvas(cx, cy) != expected(g, mode, cx, cy) && ++mismatches <= 5)
                ADD_FAILURE() << "pixel (" << cx << ", " << cy << ") is " << canvas(cx, cy)
                              << ", expected " << expected(g, mode, cx, cy);
    EXPECT_EQ(mismatches, 0);
}

// Each slice of a thread reuses the canvas memory of the one before, at
// whatever size it now has.
TEST_F(Assembly, AReusedCanvasShowsNothingOfTheSliceBefore)
{
    geometry large;
    large.width = 260;
    large.height = 170;
    expect_model(assemble(large, encode::x), large, encode::x);
    geometry gaps;
    gaps.yoffset = -30;
    gaps.tile_sizes = {{200, 120}, {150, 150}, {200, 60}};  // short and narrow tiles
    const std::uint16_t* const memory = reused.pixels().data();
    const image canvas = assemble(gaps, encode::y);
    EXPECT_EQ(reused.pixels().data(), memory) << "a smaller canvas keeps its memory";
    expect_model(canvas, gaps, encode::y);
    EXPECT_EQ(canvas(539, 149), 0);
}

TEST_F(Assembly, WorkedGeometryMatchesPixelForPixel)
{
    const geometry g;
    const image by_x = assemble(g, encode::x);
    ASSERT_EQ(by_x.width(), 540);
    ASSERT_EQ(by_x.height(), 150);
    // Spot checks stated directly, independent of the model.
    EXPECT_EQ(by_x(0, 0), code(encode::x, 0, 189, 0));
    EXPECT_EQ(by_x(179, 0), code(encode::x, 0, 10, 0));
    EXPECT_EQ(by_x(180, 5), code(encode::x, 1, 189, 0));
    EXPECT_EQ(by_x(180, 4), 0);
    EXPECT_EQ(by_x(539, 149), code(encode::x, 2, 10, 0));
    expect_model(by_x, g, encode::x);

    const image by_y = assemble(g, encode::y);
    EXPECT_EQ(by_y(200, 149), code(encode::y, 1, 0, 144));  // the last 5 rows of column 1 are lost
    EXPECT_EQ(by_y(400, 9), 0);
    EXPECT_EQ(by_y(400, 10), code(encode::y, 2, 0, 0));
    expect_model(by_y, g, encode::y);
}

TEST_F(Assembly, NegativeAndOversizedShifts)
{
    geometry up;
    up.yoffset = -20;  // column j moves up, zero rows at the bottom
    expect_model(assemble(up, encode::y), up, encode::y);

    geometry gone;
    gone.yoffset = 100;  // column 2 is shifted by 200 rows: all zero
    const image canvas = assemble(gone, encode::y);
    expect_model(canvas, gone, encode::y);
    EXPECT_EQ(canvas.get_crop(360, 0, 539, 149).max(), 0);
}

TEST_F(Assembly, NegativeOverlapGivesZeroMargins)
{
    geometry g;
    g.xoverlap = -4;
    const image canvas = assemble(g, encode::x);
    EXPECT_EQ(canvas.width(), 3 * 208);
    EXPECT_EQ(canvas(0, 0), 0);
    EXPECT_EQ(canvas(4, 0), code(encode::x, 0, 199, 0));
    expect_model(canvas, g, encode::x);
}

TEST_F(Assembly, TilesOfOtherSizesLeaveGapsOrAreOverwritten)
{
    geometry g;
    g.tile_sizes = {{240, 150}, {150, 100}, {260, 170}};  // wider, narrower and shorter, taller
    expect_model(assemble(g, encode::x), g, encode::x);
    expect_model(assemble(g, encode::y), g, encode::y);
}

// Threads that draw columns side by side must not let a wide piece, whose
// last rows come late, cover the column after it, which has to win there.
TEST_F(Assembly, AWiderTileNeverCoversTheColumnAfterIt)
{
    geometry g;
    g.height = 2000;
    g.yoffset = 1990;  // column 1 lands on the last rows that column 0 reaches
    g.tile_sizes = {{240, 2000}, {150, 10}, {200, 2000}};
    for (int round = 0; round < 3; ++round)
        expect_model(assemble(g, encode::x), g, encode::x);
}

TEST_F(Assembly, CrossedCropLimitsAreSwapped)
{
    geometry g;
    g.width = 40;
    g.xoverlap = 12;
    g.tile_sizes = {{40, 150}, {20, 150}, {10, 150}};  // no wider than 2 * xoverlap
    expect_model(assemble(g, encode::x), g, encode::x);
}

// Tiles read in parallel must still fail as the library's I/O error, for the
// first missing column, and never let the exception escape a parallel region.
TEST_F(Assembly, AMissingTileIsTheLibrarysIoError)
{
    const std::string present = dir + "/present.tif";
    orvane_test::write_tile(present, 10, 10, [](std::uint32_t, std::uint32_t) { return 1; });
    const std::vector<std::string> names{present, dir + "/absent1.tif", dir + "/absent2.tif"};
    for (int threads : {1, 2, 3}) {
        image canvas(30, 10, 1, 1, 0);
        try {
            const orvane::acquisition tiles(names, 3, {10, 10});
            orvane::assemble_slice(canvas, orvane::slice_tile_files(tiles, 0),
                                   orvane::mosaic_layout(tiles, 0, 0), threads);
            ADD_FAILURE() << "no error with " << threads << " threads";
        } catch (const std::exception& e) {
            const auto error = orvane::describe_error(e);
            EXPECT_EQ(error.type, "CImgIOException");
            EXPECT_NE(error.message.find("absent1.tif"), std::string::npos) << error.message;
        }
    }
}

}  // namespace

namespace {

using orvane_test::difference;

struct layout {
    std::int32_t pitch = 0, yoffset = 0, xoverlap = 0;
    int canvas_width = 0, canvas_height = 0;

    // The run's layout for tile columns of the reference width pitch + 2 * xoverlap.
    orvane::mosaic_layout of_run() const
    {
        const std::int32_t columns = canvas_width / pitch;
        const orvane::acquisition tiles(std::vector<std::string>(columns), columns,
                                        {static_cast<std::uint32_t>(pitch + 2 * xoverlap),
                                         static_cast<std::uint32_t>(canvas_height)});
        return orvane::mosaic_layout(tiles, xoverlap, yoffset);
    }
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
        cimg_for(tile, p, std::uint16_t)* p = static_cast<std::uint16_t>(value(random));
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
                orvane::draw_tile(got, tiles[static_cast<std::size_t>(j)], j, l.of_run(), threads);
            EXPECT_EQ(difference(got, want), "")
                << "threads " << threads << ", pitch " << l.pitch << ", yoffset " << l.yoffset
                << ", xoverlap " << l.xoverlap;
        }
    }

    // splitnumber tiles of the reference size, on the canvas a run would make.
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

TEST_F(FusedAssembly, NegativeOverlapGivesZeroMargins) { expect_same_uniform(40, 30, 3, -5, 2); }

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
        orvane::draw_tile(canvas, image(), 0, layout{10, 0, 0, 10, 10}.of_run());
        FAIL() << "no error";
    } catch (const orvane::error& e) {
        const orvane::image_error shown = orvane::describe_error(e);
        EXPECT_EQ(shown.type, "CImgInstanceException");
        EXPECT_NE(shown.message.find("crop(): Empty instance"), std::string::npos) << shown.message;
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
        const orvane::acquisition acquired(names, 4, {36, 24});
        orvane::assemble_slice(got, orvane::slice_tile_files(acquired, 0),
                               orvane::mosaic_layout(acquired, l.xoverlap, l.yoffset), threads);
        EXPECT_EQ(difference(got, want), "") << "threads " << threads;
    }
}

}  // namespace
