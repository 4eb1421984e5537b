// Output names and directory creation.
#include "compat/library_conventions.hpp"
#include "platform/platform.hpp"
#include "run/slice_plan.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

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

bool is_dir(const std::string& path) { return std::filesystem::is_directory(path); }

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

#ifndef _WIN32
TEST(MakeDirs, ABackslashIsAnOrdinaryCharacter)
{
    const std::string base = orvane_test::make_temp_dir();
    EXPECT_TRUE(orvane::make_dirs(base + "/a\\b/c/"));
    EXPECT_TRUE(is_dir(base + "/a\\b/c"));
}
#else
// Windows paths as users type them: backslashes, mixed separators, a drive.
TEST(MakeDirs, BackslashesAndDrivesDivideWindowsPaths)
{
    std::string base = orvane_test::make_temp_dir();
    EXPECT_TRUE(orvane::make_dirs(base + "\\a\\b/c\\"));
    EXPECT_TRUE(is_dir(base + "/a/b/c"));
    std::replace(base.begin(), base.end(), '/', '\\');
    ASSERT_EQ(base[1], ':');  // a drive letter
    EXPECT_TRUE(orvane::make_dirs(base + "\\d\\e"));
    EXPECT_TRUE(is_dir(base + "\\d\\e"));
    // Roots that exist without being made, and cannot be: a drive, a share.
    EXPECT_EQ(orvane::platform::root_length("C:\\data\\run1"), 3u);
    EXPECT_EQ(orvane::platform::root_length("\\\\server\\share\\acq/run1"), 15u);
    EXPECT_EQ(orvane::platform::root_length("\\\\?\\D:\\run1"), 7u);
    EXPECT_EQ(orvane::platform::root_length("run1\\stack1"), 0u);
}
#endif

// What --plan prints is what scripts act on: a plan that made directories
// would not be read-only, and a wrong state would have a done slice
// submitted again or a missing one never.
TEST(PlanOfARun, GivesEveryStateAndMakesNothing)
{
    const std::string out = orvane_test::make_temp_dir() + "/out";
    const orvane::acquisition tiles(std::vector<std::string>(7), 2, {});  // 3 slices, 1 name over
    const orvane::mosaic_layout layout(tiles, 0, 0);
    orvane::run_options options;
    options.outputdir = out;
    options.downsample = 4;
    const orvane::slice_job job{tiles, layout, options};
    const auto path = [&](std::int32_t factor, std::int32_t k) {
        return orvane::output_path(orvane::output_dir(out, factor), orvane::output_name(factor, k));
    };
    const auto line = [&](std::int32_t k, const std::string& state, bool reduced) {
        return std::to_string(k) + "\t" + state + "\t" + path(1, k) + "\t" +
               (reduced ? path(4, k) : "") + "\n";
    };
    EXPECT_EQ(orvane::plan_text(orvane::look_at_slices(job)),
              "slices\t3\n" + line(0, "make", true) + line(1, "make", true) +
                  line(2, "make", true));
    EXPECT_FALSE(std::filesystem::exists(out));

    ASSERT_TRUE(orvane::make_dirs(orvane::output_dir(out, 1)));
    orvane_test::write_file(path(1, 1), "anything at the name counts");
    options.downsample = 1;
    options.singlenum = 1;
    EXPECT_EQ(orvane::plan_text(orvane::look_at_slices(job)),
              "slices\t3\n" + line(0, "skip", false) + line(1, "done", false) +
                  line(2, "skip", false));
    EXPECT_EQ(orvane::plan_text({}), "slices\t0\n");
}

TEST(MakeDirs, StopsAtALevelThatCannotBeMade)
{
    const std::string base = orvane_test::make_temp_dir();
    orvane_test::write_file(base + "/file", "x");
    EXPECT_FALSE(orvane::make_dirs(base + "/file/sub/deeper/"));
}

}  // namespace
