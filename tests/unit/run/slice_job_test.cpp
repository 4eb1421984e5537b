// One slice from start to end: its files, and what is left after a failure.
#include "base/image.hpp"
#include "io/ome_zarr.hpp"
#include "mosaic/reduce.hpp"
#include "mosaic/seamless.hpp"
#include "platform/platform.hpp"
#include "run/option_checks.hpp"
#include "run/slice_loop.hpp"
#include "run/slice_plan.hpp"

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

    // Makes slice 0 the way a run does, on one worker.
    void make_first_slice(const orvane::slice_job& job)
    {
        std::vector<orvane::planned_slice> plan = orvane::plan_slices(job);
        plan.resize(1);
        orvane::run_slices(plan, job, 1);
    }
};

// The reduced file must be exactly the library's area-averaging resize of the
// full-resolution canvas: stacks made earlier are compared against it.
TEST_F(SliceJob, ReducedFileIsTheLibrarysResizeOfTheMosaic)
{
    const orvane::slice_job job = random_job(3, 97, 61, 4);
    make_first_slice(job);
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
    EXPECT_ANY_THROW(make_first_slice(job));
    EXPECT_TRUE(entries(options.outputdir + "/stack1").empty());

    // A record of seam corrections that a run with them put in the folder
    // while this one made the slice without: the slice is taken back, its
    // reduced copy too, and the run stops saying why.
    std::filesystem::remove(options.outputdir + "/stack2");
    orvane_test::write_file(options.outputdir + "/seams.json", "{}");
    try {
        make_first_slice(job);
        ADD_FAILURE() << "a slice was kept beside a record of seam corrections";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("slice 0 was taken back"), std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(entries(options.outputdir + "/stack1").empty());
    EXPECT_TRUE(entries(options.outputdir + "/stack2").empty());
}

TEST_F(SliceJob, OnlyFinalNamesRemainAfterASlice)
{
    const orvane::slice_job job = random_job(2, 16, 16, 2);
    make_first_slice(job);
    EXPECT_EQ(entries(options.outputdir + "/stack1"),
              std::vector<std::string>{orvane::output_name(1, 0)});
    EXPECT_EQ(entries(options.outputdir + "/stack2"),
              std::vector<std::string>{orvane::output_name(2, 0)});
}

}  // namespace

// Workers the memory cannot hold are killed with the whole run; a small
// mosaic must keep every processor busy.
TEST(WorkerBound, WorkersAreLoweredOnlyWhenTheirMemoryPassesTheComputers)
{
    const std::uint64_t memory = orvane::platform::physical_memory();
    if (memory == 0)
        GTEST_SKIP() << "the memory of this computer cannot be told";
    // A canvas of a third of the memory: two workers fit at most.
    const auto wide = static_cast<std::uint32_t>(memory / 3 / (2 * 4 * 40000));
    const orvane::acquisition tiles(std::vector<std::string>(4, "t.tif"), 4, {wide, 40000});
    const orvane::mosaic_layout layout(tiles, 0, 0);
    orvane::run_options options;
    options.splitnumber = 4;
    orvane::slice_job job{tiles, layout, options};
    const orvane::volume_layout volume = orvane::make_volume_layout(
        "v", 1, {layout.canvas().width, layout.canvas().height}, std::nullopt);
    const std::uint64_t plain = orvane::worker_bytes(job, 1);
    EXPECT_GE(plain, memory / 3 - 1000000);
    job.volume = &volume;
    EXPECT_GT(orvane::worker_bytes(job, 1), 3 * plain);  // levels and compressed chunks
    job.volume = nullptr;
    // A seam-corrected slice holds all four whole tiles and the flat
    // field's two float planes (two tiles' worth each).
    orvane::flat_field field;
    orvane::seam_settings seams;
    seams.flat = &field;
    job.seams = &seams;
    const std::uint64_t tile = std::uint64_t{wide} * 40000 * 2;
    EXPECT_GE(orvane::worker_bytes(job, 1) - plain, 8 * tile);
    job.seams = nullptr;

    // The flat field estimate keeps every sampled tile's overlap strips
    // before any worker starts: with overlaps a quarter of the tile wide on
    // each side, 16 slices of four tiles of a sixth of the memory each keep
    // more than the memory and are refused, naming the limit, not left to
    // be killed midway.
    const auto sixth = static_cast<std::uint32_t>(memory / 6 / (2 * 40000));
    const orvane::acquisition stack(std::vector<std::string>(4 * 800, "t.tif"), 4, {sixth, 40000});
    const orvane::mosaic_layout stack_layout(stack, static_cast<std::int32_t>(sixth / 4), 0);
    const orvane::slice_job estimating{stack, stack_layout, options};
    EXPECT_GE(orvane::flat_field_estimate_bytes(estimating),
              std::uint64_t{16} * 4 * sixth * 40000 * 2);
    try {
        orvane::refuse_unfitting_estimate(estimating, 1);
        ADD_FAILURE() << "an estimate larger than the memory was let through";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("keeps the overlaps of 16 slices' tiles"),
                  std::string::npos)
            << e.what();
    }

    testing::internal::CaptureStderr();
    const int lowered = orvane::bound_workers(job, 8, 8);
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_LE(lowered, 2);
    EXPECT_GE(lowered, 1);
    EXPECT_NE(line.find("instead of 8 (" + std::to_string(8 - lowered) + " fewer)"),
              std::string::npos)
        << line;

    const orvane::acquisition small(std::vector<std::string>(4, "t.tif"), 4, {64, 64});
    const orvane::mosaic_layout small_layout(small, 0, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(orvane::bound_workers({small, small_layout, options}, 8, 8), 8);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NO_THROW(orvane::refuse_unfitting_estimate({small, small_layout, options}, 8));
}
