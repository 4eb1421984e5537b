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

TEST(MakeDirs, StopsAtALevelThatCannotBeMade)
{
    const std::string base = orvane_test::make_temp_dir();
    orvane_test::write_file(base + "/file", "x");
    EXPECT_FALSE(orvane::make_dirs(base + "/file/sub/deeper/"));
}

}  // namespace
