// Option values, option scanning and the slice count.
#include "mosaic/acquisition.hpp"
#include "run/options.hpp"

#include <gtest/gtest.h>

#include <climits>

using orvane::count_slices;
using orvane::parse_int;
using orvane::parse_options;

namespace {

// Scripts pass numbers in every shape; a wrong parse silently moves the mosaic.
TEST(ParseInt, ReadsTheLeadingNumberAndIgnoresTheRest)
{
    EXPECT_EQ(parse_int("12abc"), 12);
    EXPECT_EQ(parse_int("3.7"), 3);
    EXPECT_EQ(parse_int("0x10"), 0);
    EXPECT_EQ(parse_int(" -5"), -5);
    EXPECT_EQ(parse_int("+8"), 8);
    EXPECT_EQ(parse_int("-x"), 0);
    EXPECT_EQ(parse_int("abc"), 0);
    EXPECT_EQ(parse_int(""), 0);
    EXPECT_EQ(parse_int("   "), 0);
}

TEST(ParseInt, ClampsOutOfRangeValuesToThe32BitLimits)
{
    EXPECT_EQ(parse_int("99999999999"), INT_MAX);
    EXPECT_EQ(parse_int("-99999999999"), INT_MIN);
    EXPECT_EQ(parse_int("2147483647"), INT_MAX);
}

std::vector<const char*> argv_of(std::initializer_list<const char*> args)
{
    std::vector<const char*> argv{"orvane"};
    argv.insert(argv.end(), args);
    return argv;
}

orvane::run_options scan(std::initializer_list<const char*> args)
{
    const auto argv = argv_of(args);
    return parse_options(static_cast<int>(argv.size()), argv.data());
}

TEST(Options, DefaultsWhenNothingIsGiven)
{
    const auto options = scan({"x"});
    EXPECT_EQ(options.list_path, "");
    EXPECT_EQ(options.outputdir, "");
    EXPECT_EQ(options.splitnumber, 4);
    EXPECT_EQ(options.xoverlap, 0);
    EXPECT_EQ(options.yoffset, 0);
    EXPECT_EQ(options.downsample, 1);
    EXPECT_EQ(options.singlenum, -1);
}

TEST(Options, EveryOptionStoresItsValue)
{
    const auto options =
        scan({"-i", "l.txt", "-o", "out", "-s", "3", "-x", "10", "-y", "5", "-d", "4", "-j", "2"});
    EXPECT_EQ(options.list_path, "l.txt");
    EXPECT_EQ(options.outputdir, "out");
    EXPECT_EQ(options.splitnumber, 3);
    EXPECT_EQ(options.xoverlap, 10);
    EXPECT_EQ(options.yoffset, 5);
    EXPECT_EQ(options.downsample, 4);
    EXPECT_EQ(options.singlenum, 2);
}

// A value that looks like an option must be consumed, or the scan desynchronises.
TEST(Options, AValueIsNeverReadAsAnOption)
{
    EXPECT_EQ(scan({"-y", "-20"}).yoffset, -20);
    const auto options = scan({"-s", "-x", "7"});
    EXPECT_EQ(options.splitnumber, 0);
    EXPECT_EQ(options.xoverlap, 0);  // 7 sits at a position that is skipped over
    EXPECT_EQ(scan({"-o", "-i", "list"}).list_path, "");
}

TEST(Options, UnknownArgumentsAreSkippedAndLaterValuesWin)
{
    const auto options = scan({"-z", "5", "-s", "2", "-I", "a", "--i", "b", "-ii", "c", "-s", "6"});
    EXPECT_EQ(options.splitnumber, 6);
    EXPECT_EQ(options.list_path, "");
}

// The long options take their value as the short ones do, and a voxel size
// that is not three positive numbers would put wrong units into every file.
TEST(Options, VolumeOptionsTakeTheNextArgumentAndVoxelSizesAreThreePositiveNumbers)
{
    const auto options = scan({"--ome-zarr", "-s", "--voxel-size", "0.5,0.5,2", "-s", "3"});
    EXPECT_EQ(options.ome_zarr, "-s");
    EXPECT_EQ(options.voxel_size, "0.5,0.5,2");
    EXPECT_EQ(options.splitnumber, 3);
    EXPECT_EQ(scan({"-s", "3", "--ome-zarr"}).ome_zarr, "");

    const auto voxel = orvane::parse_voxel_size("0.325, 0.325,1e1");
    ASSERT_TRUE(voxel);
    EXPECT_EQ(voxel->x, 0.325);
    EXPECT_EQ(voxel->z, 10.0);
    for (const char* bad : {"", "1,1", "1,1,1,1", "1,0,1", "1,-2,1", "1;1;1", "1,1,inf", "1,1,nan",
                            "1,1,1x", "a,b,c"})
        EXPECT_FALSE(orvane::parse_voxel_size(bad)) << bad;
}

// --seamless fills in what is not given beside it; a value given keeps its
// own, and a registration or blend that reads as no pixels is none.
TEST(Options, SeamlessFillsInTheCorrectionsNotGivenBesideIt)
{
    const auto plain = orvane::seam_request_of(scan({"-x", "16"}));
    EXPECT_FALSE(plain.any());

    const auto all = orvane::seam_request_of(scan({"--seamless", "-x", "16"}));
    EXPECT_EQ(all.flat_field, "auto");
    EXPECT_TRUE(all.match_gain);
    EXPECT_EQ(all.register_px, 8);
    EXPECT_EQ(all.blend_px, 32);  // the whole overlap, 2 * xoverlap

    const auto own = orvane::seam_request_of(scan(
        {"--register", "3", "--seamless", "--flat-field", "--blend", "--blend", "4", "-x", "-2"}));
    EXPECT_EQ(own.flat_field, "--blend");  // a value whatever it looks like
    EXPECT_EQ(own.register_px, 3);
    EXPECT_EQ(own.blend_px, 4);
    EXPECT_EQ(orvane::seam_request_of(scan({"--seamless", "-x", "-2"})).blend_px, 0);

    EXPECT_EQ(orvane::seam_request_of(scan({"--blend", "7x"})).blend_px, 0);
    for (const char* bad : {"", "-1", "+3", " 3", "3 ", "2147483648", "1e3"})
        EXPECT_FALSE(orvane::parse_pixels(bad)) << bad;
    EXPECT_EQ(orvane::parse_pixels("2147483647"), 2147483647);
    EXPECT_EQ(orvane::parse_pixels("007"), 7);
}

TEST(Options, AnOptionWithNoValueIsIgnored)
{
    const auto options = scan({"-s", "3", "-i"});
    EXPECT_EQ(options.splitnumber, 3);
    EXPECT_EQ(options.list_path, "");
}

TEST(SliceCount, DividesAndDropsTheRemainder)
{
    EXPECT_EQ(count_slices(12, 3), 4);
    EXPECT_EQ(count_slices(10, 4), 2);
    EXPECT_EQ(count_slices(3, 4), 0);
    // Done unsigned: a negative split number is a huge divisor.
    EXPECT_EQ(count_slices(12, -1), 0);
    EXPECT_EQ(count_slices(12, -3), 0);
}

}  // namespace
