// The reduced copy: its size, its arithmetic, its directory and its console line.
#include "run_fixture.hpp"

namespace {

using namespace orvane_e2e;

class Reduced : public Run {
protected:
    // One tile column of one slice whose single tile is width x height.
    void make_single(std::uint32_t width, std::uint32_t height,
                     const std::function<std::uint16_t(std::uint32_t, std::uint32_t)>& value)
    {
        const std::string name = dir + "/tile.tif";
        orvane_test::write_tile(name, width, height, value);
        orvane_test::write_file(list, name + "\n");
    }

    process_result run_with(const std::string& factor)
    {
        return run({"-i", list, "-o", out, "-s", "1", "-d", factor});
    }
};

TEST_F(Reduced, SizeIsTheCanvasDividedDown)
{
    for (const auto& [w, h] : {std::pair{540u, 150u}, std::pair{541u, 151u}}) {
        std::filesystem::remove_all(out);
        make_single(w, h, [](std::uint32_t x, std::uint32_t y) { return x + y; });
        const process_result r = run_with("2");
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const auto reduced = orvane_test::read_tiff(output(2, 0));
        EXPECT_EQ(reduced.width, 270u) << w;
        EXPECT_EQ(reduced.height, 75u) << h;
        EXPECT_EQ(reduced.compression, 5);
        EXPECT_EQ(slice_lines(r.out),
                  (std::vector<std::string>{full(0) + " done!", output(2, 0) + " done!"}));
    }
}

// Worked by hand: each reduced pixel is the mean of the x pass's truncated
// means, so the block 0 1 / 1 2 gives 0 (not its true mean 1) and 0 0 / 1 3
// gives 1 (a y-first pass would give 0).
TEST_F(Reduced, MeansAreTakenAlongXThenYAndTruncated)
{
    // Canvas rows: 0 1 0 0 / 1 2 1 3; the tile holds them flipped left-right.
    const std::uint16_t canvas[2][4] = {{0, 1, 0, 0}, {1, 2, 1, 3}};
    make_single(4, 2, [&](std::uint32_t x, std::uint32_t y) { return canvas[y][3 - x]; });
    ASSERT_EQ(run_with("2").exit_code, 0);
    const auto reduced = orvane_test::read_tiff(output(2, 0));
    ASSERT_EQ(reduced.width, 2u);
    ASSERT_EQ(reduced.height, 1u);
    EXPECT_EQ(reduced.at(0, 0), 0);
    EXPECT_EQ(reduced.at(1, 0), 1);
}

// No reader opens a TIFF of no pixels: a factor beyond a side of the mosaic
// writes no reduced file, says so once, and the rerun finds all it made whole.
TEST_F(Reduced, AFactorBeyondTheCanvasWritesNoReducedFileAndSaysSoOnce)
{
    make_single(30, 10, [](std::uint32_t x, std::uint32_t) { return x; });
    orvane_test::write_file(list, orvane_test::read_file(list) + orvane_test::read_file(list));
    for (int pass = 0; pass < 2; ++pass) {
        const process_result r = run_with("16");
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "orvane: warning: -d 16 leaves no pixel of a 30 \u00d7 10 mosaic; no "
                         "reduced copies are written\n");
        if (pass == 0) {
            EXPECT_EQ(sorted(slice_lines(r.out)),
                      sorted({full(0) + " done!", output(16, 0) + " done!", full(1) + " done!",
                              output(16, 1) + " done!"}));
        }
        EXPECT_TRUE(std::filesystem::is_directory(out + "/stack16"));
        EXPECT_FALSE(exists(output(16, 0)));
        EXPECT_EQ(orvane_test::read_tiff(full(0)).width, 30u);
        EXPECT_EQ(orvane_test::read_tiff(full(1)).width, 30u);
    }
}

TEST_F(Reduced, FactorOneReportsTheFullFileTwiceAndMakesNoOtherStack)
{
    make_single(8, 8, [](std::uint32_t x, std::uint32_t) { return x; });
    const process_result r = run_with("1");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(slice_lines(r.out),
              (std::vector<std::string>{full(0) + " done!", full(0) + " done!"}));
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(out))
        entries.push_back(entry.path().filename());
    EXPECT_EQ(entries, std::vector<std::string>{"stack1"});
}

TEST_F(Reduced, ZeroOrNegativeFactorsMakeADirectoryButNoFile)
{
    make_single(8, 8, [](std::uint32_t x, std::uint32_t) { return x; });
    for (const std::string& factor : {std::string("0"), std::string("-2")}) {
        std::filesystem::remove_all(out);
        const process_result r = run_with(factor);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::string stack = out + "/stack" + factor;
        EXPECT_TRUE(std::filesystem::is_directory(stack)) << stack;
        EXPECT_TRUE(std::filesystem::is_empty(stack)) << stack;
        const int d = std::stoi(factor);
        EXPECT_EQ(slice_lines(r.out),
                  (std::vector<std::string>{full(0) + " done!", output(d, 0) + " done!"}));
    }
}

ino_t inode(const std::string& path)
{
    struct stat s {};
    return ::stat(path.c_str(), &s) == 0 ? s.st_ino : 0;
}

TEST_F(Reduced, DeletingOneFullFileRedoesExactlyThatSlice)
{
    make_acquisition(2, 4);
    const std::vector<std::string> args{"-i", list, "-o", out, "-s", "2", "-d", "4"};
    ASSERT_EQ(run(args).exit_code, 0);
    std::vector<ino_t> before;
    for (int k = 0; k < 4; ++k)
        before.push_back(inode(output(4, k)));
    const std::string reduced_bytes = orvane_test::read_file(output(4, 2));
    std::filesystem::remove(full(2));

    const process_result again = run(args);
    ASSERT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(sorted(slice_lines(again.out)),
              sorted({full(0) + " done!", full(1) + " done!", full(2) + " done!",
                      output(4, 2) + " done!", full(3) + " done!"}));
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(inode(output(4, k)) == before[k], k != 2) << k;  // only slice 2 rewritten
    EXPECT_EQ(orvane_test::read_file(output(4, 2)), reduced_bytes);
    EXPECT_TRUE(exists(full(2)));
}

}  // namespace
