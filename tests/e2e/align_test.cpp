// orvane-align on acquisitions cut with a known geometry, and on inputs that allow no estimate.
#include "process.hpp"
#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using orvane_test::process_result;

namespace {

class Align : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();
    std::string list = dir + "/acq/list.txt";

    void TearDown() override { std::filesystem::remove_all(dir); }

    struct geometry {
        int columns, slices, width, height, xoverlap, yoffset;
    };

    // An acquisition cut by the generator so that orvane -x X -y Y rebuilds
    // its specimen; with noise and columns 10 % apart in brightness unless
    // `exact`, which also writes the mosaics orvane must make.
    void cut(const geometry& g, bool exact = false)
    {
        std::filesystem::remove_all(dir + "/acq");
        std::vector<std::string> args = {"-o",        dir + "/acq",
                                         "-s",        std::to_string(g.columns),
                                         "-n",        std::to_string(g.slices),
                                         "-w",        std::to_string(g.width),
                                         "-h",        std::to_string(g.height),
                                         "--overlap", std::to_string(g.xoverlap),
                                         "--shift",   std::to_string(g.yoffset),
                                         "--seed",    "5"};
        if (exact) {
            args.insert(args.end(), {"--noise-free", "--truth"});
        } else {
            args.insert(args.end(), {"--brightness-step", "0.1"});
        }
        const process_result r = orvane_test::run_process(ORVANE_MAKE_ACQUISITION_EXE, args);
        ASSERT_EQ(r.exit_code, 0) << r.err;
    }

    process_result align(std::vector<std::string> args)
    {
        return orvane_test::run_process(ORVANE_ALIGN_EXE, args, {"OMP_NUM_THREADS=2"});
    }

    static std::vector<std::string> words(const std::string& line)
    {
        std::istringstream stream(line);
        std::vector<std::string> result;
        for (std::string word; stream >> word;)
            result.push_back(word);
        return result;
    }

    // The -x and -y of the orvane command line printed last, or "none".
    static std::string printed_geometry(const std::string& out)
    {
        std::string found = "none";
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            const std::vector<std::string> w = words(line);
            if (w.size() == 11 && w[0] == "orvane" && w[1] == "-i" && w[3] == "-s" &&
                w[5] == "-x" && w[7] == "-y" && w[9] == "-o" && w[10] == "OUTPUTDIR")
                found = "-x " + w[6] + " -y " + w[8];
        }
        return found;
    }

    // The overlap and shift of each row of the pair table.
    static std::vector<std::string> table(const std::string& out)
    {
        std::vector<std::string> rows;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            const std::vector<std::string> w = words(line);
            if (w.size() == 5 && w[0].find('|') != std::string::npos &&
                w[4].find('/') != std::string::npos)
                rows.push_back(w[1] + " " + w[2]);
        }
        return rows;
    }

    void write_list(const std::vector<std::string>& names)
    {
        std::filesystem::create_directories(dir + "/acq");
        std::ofstream file(list);
        for (const std::string& name : names)
            file << name << "\n";
    }
};

// The geometry the stitcher needs, exactly, from overlaps of 20 to 400
// columns, shifts of either sign up to 60 rows, 3 to 8 columns, with noise
// and a brightness step between columns; every pair must agree.
TEST_F(Align, PrintsTheExactGeometryOfKnownCuts)
{
    const geometry cases[] = {{3, 4, 256, 192, 10, -13},
                              {8, 3, 192, 256, 23, 60},
                              {4, 3, 1000, 260, 200, -60},
                              {5, 4, 320, 256, 37, 0},
                              {3, 3, 1100, 300, 150, 33}};
    for (const geometry& g : cases) {
        SCOPED_TRACE(testing::Message()
                     << g.columns << " columns of " << g.width << " x " << g.height << ", -x "
                     << g.xoverlap << " -y " << g.yoffset);
        cut(g);
        const process_result r = align({"-i", list, "-s", std::to_string(g.columns)});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(printed_geometry(r.out),
                  "-x " + std::to_string(g.xoverlap) + " -y " + std::to_string(g.yoffset))
            << r.out << r.err;
        const std::string expected =
            std::to_string(2 * g.xoverlap) + " " + std::to_string(g.yoffset);
        EXPECT_EQ(table(r.out), std::vector<std::string>(g.columns - 1, expected)) << r.out;
    }
}

// The generator's cut and the stitcher's geometry belong together: without
// noise, orvane with the cut's -x and -y makes the specimen pixel for pixel,
// so the seams are invisible; and the aligner finds that -x and -y.
TEST_F(Align, TheStitcherRebuildsANoiseFreeCutSeamlessly)
{
    for (const geometry& g : {geometry{4, 2, 200, 150, 30, -12}, geometry{3, 2, 180, 160, 11, 9}}) {
        cut(g, true);
        const process_result stitched =
            orvane_test::run_process(ORVANE_EXE, {"-i", list, "-s", std::to_string(g.columns), "-x",
                                                  std::to_string(g.xoverlap), "-y",
                                                  std::to_string(g.yoffset), "-o", dir + "/out"});
        ASSERT_EQ(stitched.exit_code, 0) << stitched.err;
        for (int k = 0; k < g.slices; ++k) {
            const auto truth =
                orvane_test::read_tiff(dir + "/acq/truth/truth_z000" + std::to_string(k) + ".tif");
            const auto mosaic = orvane_test::read_tiff(dir + "/out/stack1/zstackds_1_000" +
                                                       std::to_string(k) + ".tif");
            ASSERT_EQ(mosaic.width, truth.width);
            EXPECT_TRUE(mosaic.pixels == truth.pixels) << "slice " << k;
        }
        const process_result r = align({"-i", list, "-s", std::to_string(g.columns)});
        EXPECT_EQ(printed_geometry(r.out),
                  "-x " + std::to_string(g.xoverlap) + " -y " + std::to_string(g.yoffset))
            << r.out << r.err;
        std::filesystem::remove_all(dir + "/out");
    }
}

// Blank tiles, a single column and tiles of different sizes leave nothing
// to align: status 3, a reason on standard error, and no command printed.
TEST_F(Align, NoEstimateFromBlankTilesOneColumnOrMismatchedSizes)
{
    std::vector<std::string> names;
    for (int t = 0; t < 6; ++t) {
        names.push_back(dir + "/acq/blank" + std::to_string(t) + ".tif");
        std::filesystem::create_directories(dir + "/acq");
        orvane_test::write_tile(names.back(), 64, 48,
                                [](std::uint32_t, std::uint32_t) { return std::uint16_t{300}; });
    }
    write_list(names);
    process_result r = align({"-i", list, "-s", "3"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find("no structure"), std::string::npos) << r.err;
    EXPECT_EQ(printed_geometry(r.out), "none") << r.out;

    cut({1, 3, 128, 96, 0, 0});
    r = align({"-i", list, "-s", "1"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find("one tile column"), std::string::npos) << r.err;
    EXPECT_EQ(printed_geometry(r.out), "none") << r.out;

    cut({2, 2, 128, 96, 10, 0});
    const std::string odd = dir + "/acq/odd.tif";
    orvane_test::write_tile(odd, 140, 96, [](std::uint32_t x, std::uint32_t y) {
        return static_cast<std::uint16_t>(x * y);
    });
    write_list(
        {dir + "/acq/tiles/tile_c00_z0000.tif", dir + "/acq/tiles/tile_c00_z0001.tif", odd, odd});
    r = align({"-i", list, "-s", "2"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find("is 140 x 96, not 128 x 96"), std::string::npos) << r.err;
    EXPECT_EQ(printed_geometry(r.out), "none") << r.out;
}

// An unreadable tile ends the run as it ends orvane's, with orvane's message.
TEST_F(Align, AnUnreadableTileIsReportedAsTheStitcherReportsIt)
{
    cut({3, 2, 128, 96, 10, 4});
    const std::string missing = dir + "/acq/tiles/gone.tif";
    const std::string damaged = dir + "/acq/tiles/damaged.tif";
    orvane_test::write_file(
        damaged, orvane_test::read_file(dir + "/acq/tiles/tile_c00_z0000.tif").substr(0, 300));
    for (const std::string& bad : {missing, damaged}) {
        write_list({dir + "/acq/tiles/tile_c00_z0000.tif", dir + "/acq/tiles/tile_c00_z0001.tif",
                    dir + "/acq/tiles/tile_c01_z0000.tif", bad,
                    dir + "/acq/tiles/tile_c02_z0000.tif", dir + "/acq/tiles/tile_c02_z0001.tif"});
        const process_result r = align({"-i", list, "-s", "3"});
        const process_result o = orvane_test::run_process(
            ORVANE_EXE, {"-i", list, "-s", "3", "-o", dir + "/out", "-j", "1"});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(o.exit_code, 2);
        EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
        EXPECT_EQ(r.err, o.err);
        EXPECT_EQ(printed_geometry(r.out), "none") << r.out;
    }
}

TEST_F(Align, MisuseGivesUsageAndStatus1)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"-s", "3"},
                                                 {"-i", list, "-s", "zero"},
                                                 {"-i", list, "-x", "3", "-y", "1"}}) {
        const process_result r = align(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find("usage: orvane-align"), std::string::npos) << r.err;
    }
    cut({2, 2, 128, 96, 10, 0});
    EXPECT_EQ(align({"-i", list, "-s", "2", "-k", "2"}).exit_code, 1);  // only slices 0 and 1
}

// The preview is an 8-bit RGB PNG at most 2048 wide: 4 columns of 1000 - 400
// columns make 2400, reduced by 2.
TEST_F(Align, PreviewIsAReducedRgbPng)
{
    cut({4, 1, 1000, 120, 200, 5});
    const std::string png = dir + "/preview.png";
    const process_result r =
        align({"-i", list, "-s", "4", "--preview", png, "-x", "200", "-y", "5"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string bytes = orvane_test::read_file(png);
    ASSERT_GT(bytes.size(), 33u);
    EXPECT_EQ(bytes.substr(1, 3), "PNG");
    auto be32 = [&](std::size_t at) {
        return (static_cast<unsigned char>(bytes[at]) << 24) |
               (static_cast<unsigned char>(bytes[at + 1]) << 16) |
               (static_cast<unsigned char>(bytes[at + 2]) << 8) |
               static_cast<unsigned char>(bytes[at + 3]);
    };
    EXPECT_EQ(be32(16), 1200u);  // IHDR width
    EXPECT_EQ(be32(20), 60u);    // and height
    EXPECT_EQ(bytes[24], 8);     // bits per sample
    EXPECT_EQ(bytes[25], 2);     // RGB
}

}  // namespace
