// Temporaries: random names, the lock of the run that writes them, and the leftovers of killed
// runs.
#include "io/output_file.hpp"

#include "platform/platform.hpp"
#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;

// A temporary is removed only when no live writer holds it, whatever made
// it: names alone (a reused process id, a shared host name) tell nothing.
TEST(Temporaries, OnlyTemporariesNoLiveWriterHoldsAreRemoved)
{
    const std::string dir = orvane_test::make_temp_dir();
    const std::string final_path = dir + "/zstackds_1_0000.tif";
    orvane::output_file live(final_path);
    ASSERT_EQ(live.temp_path().rfind(final_path + ".", 0), 0u);
    ASSERT_TRUE(orvane::is_temporary_name(fs::path(live.temp_path()).filename().string()));
    const std::string left = final_path + ".0123456789abcdef.part";
    const std::string not_ours = final_path + ".vm.1.part";
    for (const std::string& path : {left, not_ours, final_path})
        orvane_test::write_file(path, "x");

    EXPECT_EQ(orvane::remove_stale_temporaries(dir), 1);
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(live.temp_path()));  // its writer holds it
    EXPECT_TRUE(fs::exists(not_ours));
    EXPECT_TRUE(fs::exists(final_path));
}

// Two writers of one final name never share a temporary, and each name is
// new: a name made again could be a killed run's file another run removes.
TEST(Temporaries, EveryWriterGetsANewNameOfItsOwn)
{
    const std::string dir = orvane_test::make_temp_dir();
    std::set<std::string> names;
    for (int i = 0; i < 50; ++i) {
        orvane::output_file a(dir + "/a.tif"), b(dir + "/a.tif");
        EXPECT_NE(a.temp_path(), b.temp_path());
        names.insert(a.temp_path());
    }
    EXPECT_EQ(names.size(), 50u);
}

TEST(Temporaries, AnUncommittedFileIsRemovedAndACommittedOneIsKept)
{
    const std::string dir = orvane_test::make_temp_dir();
    std::string temp;
    {
        orvane::output_file file(dir + "/a.tif");
        temp = file.temp_path();
        orvane_test::write_file(temp, "partial");
    }
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_FALSE(fs::exists(dir + "/a.tif"));
    {
        orvane::output_file file(dir + "/b.tif");
        temp = file.temp_path();
        orvane_test::write_file(temp, "whole");
        file.commit();
    }
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(orvane_test::read_file(dir + "/b.tif"), "whole");
    EXPECT_EQ(orvane::remove_stale_temporaries(dir), 0);
}

}  // namespace
