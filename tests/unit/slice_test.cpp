// Output names, directory creation and the mosaic geometry of one slice.
#include "slice/assemble.hpp"
#include "slice/slice_job.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using orvane::image;

namespace {

TEST(OutputNames, FactorAndZeroPaddedIndex)
{
    EXPECT_EQ(orvane::output_name(1, 7), "zstackds_1_0007.tif");
    EXPECT_EQ(orvane::output_name(1, 123), "zstackds_1_0123.tif");
    EXPECT_EQ(orvane::output_name(4, 0), "zstackds_4_0000.tif");
    EXPECT_EQ(orvane::output_name(1, 12345), "zstackds_1_12345.tif");
    EXPECT_EQ(orvane::output_dir("out", 1), "out/stack1/");
    EXPECT_EQ(orvane::output_dir("", -2), "/stack-2/");
}

bool is_dir(const std::string& path)
{
    struct stat s {};
    return ::stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

TEST(MakeDirs, MakesEveryMissingLevel)
{
    const std::string base = orvane_test::make_temp_dir();
    EXPECT_TRUE(orvane::make_dirs(base + "/a/b//c/"));
    EXPECT_TRUE(is_dir(base + "/a/b/c"));
    EXPECT_TRUE(orvane::make_dirs(base + "/a/b/c/"));  // all there already
    EXPECT_TRUE(orvane::make_dirs(base + "/a/d"));     // last component without a slash
    EXPECT_TRUE(is_dir(base + "/a/d"));
    EXPECT_TRUE(orvane::make_dirs(""));
}

TEST(MakeDirs, ABackslashIsAnOrdinaryCharacter)
{
    const std::string base = orvane_test::make_temp_dir();
    EXPECT_TRUE(orvane::make_dirs(base + "/a\\b/c/"));
    EXPECT_TRUE(is_dir(base + "/a\\b/c"));
}

TEST(MakeDirs, StopsAtALevelThatCannotBeMade)
{
    const std::string base = orvane_test::make_temp_dir();
    orvane_test::write_file(base + "/file", "x");
    EXPECT_FALSE(orvane::make_dirs(base + "/file/sub/deeper/"));
}

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
                auto [w, h] = g.tile_sizes.empty() ? std::make_pair(g.width, g.height)
                                                   : g.tile_sizes[column];
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
        image canvas(static_cast<unsigned>(pitch * g.splitnumber), g.height, 1, 1, 0);
        orvane::assemble_slice(canvas, g.slice, g.width, names, g.slice_count, g.yoffset,
                               g.xoverlap, g.splitnumber);
        return canvas;
    }
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
            continue;  // the piece is as tall as its tile: nothing drawn below it
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

TEST_F(Assembly, CrossedCropLimitsAreSwapped)
{
    geometry g;
    g.width = 40;
    g.xoverlap = 12;
    g.tile_sizes = {{40, 150}, {20, 150}, {10, 150}};  // no wider than 2 * xoverlap
    expect_model(assemble(g, encode::x), g, encode::x);
}

TEST_F(Assembly, AMissingTileIsTheLibrarysIoError)
{
    const std::vector<std::string> names{dir + "/absent.tif"};
    image canvas(10, 10, 1, 1, 0);
    try {
        orvane::assemble_slice(canvas, 0, 10, names, 1, 0, 0, 1);
        FAIL() << "no error";
    } catch (const std::exception& e) {
        const auto error = orvane::describe_error(e);
        EXPECT_EQ(error.type, "CImgIOException");
        EXPECT_NE(error.message.find("absent.tif"), std::string::npos) << error.message;
    }
}

} // namespace
