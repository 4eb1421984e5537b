// Temporary names and the leftovers of killed runs.
#include "io/output_file.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

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

}  // namespace
