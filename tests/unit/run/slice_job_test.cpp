// One slice from start to end: its files, and what is left after a failure.
#include "base/image.hpp"
#include "mosaic/reduce.hpp"
#include "run/slice_job.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <random>

using orvane::image;

namespace {

class SliceJob : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();
    std::optional<orvane::acquisition> tiles;
    std::optional<orvane::mosaic_layout> layout;
    orvane::run_options options;

    orvane::slice_job random_job(std::int32_t columns, std::uint32_t width, std::uint32_t height,
                                 std::int32_t downsample)
    {
        std::mt19937 rng(42);
        std::vector<std::string> names;
        for (std::int32_t j = 0; j < columns; ++j) {
            names.push_back(dir + "/t" + std::to_string(j) + ".tif");
            orvane_test::write_tile(names.back(), width, height, [&](std::uint32_t, std::uint32_t) {
                return static_cast<std::uint16_t>(rng());
            });
        }
        tiles.emplace(names, columns, orvane::tile_size{width, height});
        layout.emplace(*tiles, 3, 2);
        options.splitnumber = columns;
        options.xoverlap = 3;
        options.yoffset = 2;
        options.downsample = downsample;
        options.outputdir = dir + "/out";
        return {*tiles, *layout, options};
    }
};

// The reduced file must be exactly the library's area-averaging resize of the
// full-resolution canvas: stacks made earlier are compared against it.
TEST_F(SliceJob, ReducedFileIsTheLibrarysResizeOfTheMosaic)
{
    const orvane::slice_job job = random_job(3, 97, 61, 4);
    orvane::process_slice(0, job);
    const orvane::planned_slice slice = orvane::plan_slice(0, job);
    image full;
    full.load_tiff(slice.full_path.c_str());
    ASSERT_EQ(full.width(), 3 * 91);
    image expected = full;
    expected.resize(full.width() / 4, full.height() / 4, -100, -100, 3, 0, 0, 0, 0, 0);

    const auto reduced = orvane_test::read_tiff(slice.reduced_path);
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
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A failure after the full-resolution file was written must not leave it (or
// its temporary) behind: its presence would mark the slice done.
TEST_F(SliceJob, AFailedReducedSaveLeavesNothingUnderAnyName)
{
    const orvane::slice_job job = random_job(1, 16, 16, 2);
    orvane::make_dirs(options.outputdir + "/");
    orvane_test::write_file(options.outputdir + "/stack2", "a file where the directory should be");
    EXPECT_ANY_THROW(orvane::process_slice(0, job));
    EXPECT_TRUE(entries(options.outputdir + "/stack1").empty());
}

TEST_F(SliceJob, OnlyFinalNamesRemainAfterASlice)
{
    const orvane::slice_job job = random_job(2, 16, 16, 2);
    orvane::process_slice(0, job);
    EXPECT_EQ(entries(options.outputdir + "/stack1"),
              std::vector<std::string>{orvane::output_name(1, 0)});
    EXPECT_EQ(entries(options.outputdir + "/stack2"),
              std::vector<std::string>{orvane::output_name(2, 0)});
}

}  // namespace
