// Seamless stitching measured against the known truth of generated acquisitions: the error, the
// seams' contrast and their misalignment, by a script that shares no code with the program.
#include "process.hpp"
#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

using orvane_test::process_result;

namespace {

class SeamQuality : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();

    void TearDown() override { std::filesystem::remove_all(dir); }

    // 4 flipped columns of 192 x 512 tiles, 8 slices, cut with -x 16 -y 5;
    // small enough for a few seconds, large enough for the overlaps to hold
    // structure to register and the tiles to show their light's shape.
    static constexpr int columns = 4, xoverlap = 16, yoffset = 5;

    std::string acquisition(const std::string& name, const std::vector<std::string>& extra)
    {
        const std::string folder = dir + "/" + name;
        std::vector<std::string> args = {"-o",        folder,
                                         "-s",        std::to_string(columns),
                                         "-n",        "8",
                                         "-w",        "192",
                                         "-h",        "512",
                                         "--overlap", std::to_string(xoverlap),
                                         "--shift",   std::to_string(yoffset),
                                         "--seed",    "11",
                                         "--truth"};
        args.insert(args.end(), extra.begin(), extra.end());
        const process_result r = orvane_test::run_process(ORVANE_MAKE_ACQUISITION_EXE, args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return folder;
    }

    std::string stitch(const std::string& folder, const std::string& name,
                       const std::vector<std::string>& extra)
    {
        const std::string out = folder + "/" + name;
        std::vector<std::string> args = {"-i", folder + "/list.txt",
                                         "-s", std::to_string(columns),
                                         "-x", std::to_string(xoverlap),
                                         "-y", std::to_string(yoffset),
                                         "-o", out};
        args.insert(args.end(), extra.begin(), extra.end());
        const process_result r = orvane_test::run_process(ORVANE_EXE, args, {"OMP_NUM_THREADS=2"});
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        return out;
    }

    // The truth shows the specimen over the camera's offset of 100, which a
    // plain mosaic keeps and the dark field's correction takes away.
    const std::vector<std::string> without_offset = {"--offset", "100"};

    // The script's verdict on out against the folder's truth under bounds;
    // its table goes into the test's log.
    int measure(const std::string& folder, const std::string& out,
                const std::vector<std::string>& bounds, const std::vector<std::string>& more = {})
    {
        std::vector<std::string> args = {
            ORVANE_SEAM_QUALITY,      out,  folder + "/truth",      "-x",
            std::to_string(xoverlap), "-s", std::to_string(columns)};
        args.insert(args.end(), bounds.begin(), bounds.end());
        args.insert(args.end(), more.begin(), more.end());
        const process_result r = orvane_test::run_process(ORVANE_TEST_PYTHON, args);
        std::cout << r.out << r.err;
        EXPECT_NE(r.exit_code, 2) << "the script could not measure: " << r.err;
        return r.exit_code;
    }
};

// Light falling to 58 % at a tile's sides, a dark offset, columns up to 20 % apart in gain, a
// stage drifting up to 2 px and shot noise: --seamless must take out every one. The plain
// mosaic of the same tiles must fail the same bounds, or the figures could not tell.
TEST_F(SeamQuality, SeamlessTakesOutFalloffDarkGainsAndDrift)
{
    const std::string folder =
        acquisition("all", {"--falloff", "0.42", "--falloff-shape", "sides", "--dark", "100",
                            "--column-gain", "0.2", "--drift", "2"});
    const std::vector<std::string> bounds = {"--max-rmse",     "1.5", "--max-contrast", "1.10",
                                             "--max-misalign", "0.5"};
    const std::string seamless = stitch(folder, "seamless", {"--seamless"});
    // Its report is what the script checks the registration's shifts against.
    EXPECT_TRUE(std::filesystem::exists(seamless + "/seams.csv"));
    EXPECT_EQ(measure(folder, seamless, bounds, without_offset), 0);
    EXPECT_EQ(measure(folder, stitch(folder, "plain", {}), bounds), 1);
}

// On tiles that need no correction, the corrections must not damage them or move a column.
TEST_F(SeamQuality, SeamlessKeepsAPerfectAcquisition)
{
    const std::string folder = acquisition("perfect", {"--noise-free"});
    EXPECT_EQ(measure(folder, stitch(folder, "seamless", {"--seamless"}),
                      {"--max-rmse", "0.5", "--max-misalign", "0.5"}, without_offset),
              0);
}

// A specimen crowded like a tissue leaves no sensor pixel at the camera's
// offset alone, and the densest value of a block is one of the specimen's own
// levels: taken for the dark field it made the corrected slice too dark by
// 2.4 % of the range here. The dark level is held below the darkest values the
// tiles show, less their noise (0.30 % here).
TEST_F(SeamQuality, SeamlessKeepsACrowdedPerfectAcquisition)
{
    const std::string folder =
        acquisition("crowded", {"--noise-free", "--density", "16", "--contrast", "0.25"});
    EXPECT_EQ(measure(folder, stitch(folder, "seamless", {"--seamless"}), {"--max-rmse", "0.35"},
                      without_offset),
              0);
}

}  // namespace
