// Output names, directory creation and the mosaic geometry of one slice.
#include "slice/assemble.hpp"
#include "slice/output_file.hpp"
#include "slice/slice_job.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
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
        // A slice thread's canvas holds its last slice: start from memory
        // full of other pixels, which no tile may leave showing.
        image first;
        for (int threads : {1, 3}) {
            reused.resize(static_cast<std::uint32_t>(pitch * g.splitnumber), g.height);
            reused.pixels().fill(0xfffe);
            orvane::assemble_slice(reused.pixels(), g.slice, g.width, names, g.slice_count,
                                   g.yoffset, g.xoverlap, g.splitnumber, threads);
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
            orvane::assemble_slice(canvas, 0, 10, names, 1, 0, 0, 3, threads);
            ADD_FAILURE() << "no error with " << threads << " threads";
        } catch (const std::exception& e) {
            const auto error = orvane::describe_error(e);
            EXPECT_EQ(error.type, "CImgIOException");
            EXPECT_NE(error.message.find("absent1.tif"), std::string::npos) << error.message;
        }
    }
}

} // namespace

namespace {

class SliceJob : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();
    std::vector<std::string> names;

    orvane::slice_job random_job(std::int32_t columns, std::uint32_t width, std::uint32_t height,
                                 std::int32_t downsample)
    {
        std::mt19937 rng(42);
        for (std::int32_t j = 0; j < columns; ++j) {
            names.push_back(dir + "/t" + std::to_string(j) + ".tif");
            orvane_test::write_tile(names.back(), width, height, [&](std::uint32_t, std::uint32_t) {
                return static_cast<std::uint16_t>(rng());
            });
        }
        orvane::slice_job job;
        job.width = width;
        job.height = height;
        job.names = &names;
        job.slice_count = 1;
        job.splitnumber = columns;
        job.xoverlap = 3;
        job.yoffset = 2;
        job.downsample = downsample;
        job.outputdir = dir + "/out";
        return job;
    }
};

// The reduced file must be exactly the library's area-averaging resize of the
// full-resolution canvas: stacks made earlier are compared against it.
TEST_F(SliceJob, ReducedFileIsTheLibrarysResizeOfTheMosaic)
{
    const orvane::slice_job job = random_job(3, 97, 61, 4);
    orvane::process_slice(0, job);
    image full;
    full.load_tiff((job.outputdir + "/stack1//zstackds_1_0000.tif").c_str());
    ASSERT_EQ(full.width(), 3 * 91);
    image expected = full;
    expected.resize(full.width() / 4, full.height() / 4, -100, -100, 3, 0, 0, 0, 0, 0);

    const auto reduced = orvane_test::read_tiff(job.outputdir + "/stack4//zstackds_4_0000.tif");
    ASSERT_EQ(reduced.width, static_cast<std::uint32_t>(expected.width()));
    ASSERT_EQ(reduced.height, static_cast<std::uint32_t>(expected.height()));
    for (std::uint32_t y = 0; y < reduced.height; ++y)
        for (std::uint32_t x = 0; x < reduced.width; ++x)
            ASSERT_EQ(reduced.at(x, y), expected(x, y)) << x << ", " << y;
}

std::vector<std::string> entries(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A failure after the full-resolution file was written must not leave it (or
// its temporary) behind: its presence would mark the slice done.
TEST_F(SliceJob, AFailedReducedSaveLeavesNothingUnderAnyName)
{
    orvane::slice_job job = random_job(1, 16, 16, 2);
    orvane::make_dirs(job.outputdir + "/");
    orvane_test::write_file(job.outputdir + "/stack2", "a file where the directory should be");
    EXPECT_ANY_THROW(orvane::process_slice(0, job));
    EXPECT_TRUE(entries(job.outputdir + "/stack1").empty());
}

TEST_F(SliceJob, OnlyFinalNamesRemainAfterASlice)
{
    const orvane::slice_job job = random_job(2, 16, 16, 2);
    orvane::process_slice(0, job);
    EXPECT_EQ(entries(job.outputdir + "/stack1"), std::vector<std::string>{"zstackds_1_0000.tif"});
    EXPECT_EQ(entries(job.outputdir + "/stack2"), std::vector<std::string>{"zstackds_2_0000.tif"});
}

TEST(Temporaries, OnlyLeftoversOfDeadProcessesOfThisHostAreRemoved)
{
    const std::string dir = orvane_test::make_temp_dir();
    const std::string final_path = dir + "/zstackds_1_0000.tif";
    const std::string ours = orvane::temp_name_for(final_path);
    ASSERT_EQ(ours.rfind(final_path + ".", 0), 0u);
    // Rebuild the same name with a pid that cannot be alive (above pid_max).
    const std::string stem = ours.substr(0, ours.rfind('.', ours.size() - 6));
    const std::string dead = stem + ".99999999.part";
    const std::string other_host = final_path + ".elsewhere-node.99999999.part";
    for (const std::string& path : {ours, dead, other_host, final_path})
        orvane_test::write_file(path, "x");

    EXPECT_EQ(orvane::remove_stale_temporaries(dir), 1);
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(ours));  // this process is alive
    EXPECT_TRUE(std::filesystem::exists(other_host));
    EXPECT_TRUE(std::filesystem::exists(final_path));
}

TEST(Temporaries, AnUncommittedFileIsRemoved)
{
    const std::string dir = orvane_test::make_temp_dir();
    std::string temp;
    {
        orvane::pending_file file(dir + "/a.tif");
        temp = file.temp_path();
        orvane_test::write_file(temp, "partial");
    }
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_FALSE(std::filesystem::exists(dir + "/a.tif"));
}

} // namespace
