// Runs with seam corrections: slices alone and resumed equal a whole run, the folder's record
// refuses runs with other corrections, flat field files are checked, the report keeps every slice.
#include "io/flat_field_file.hpp"
#include "run_fixture.hpp"

#include <sys/wait.h>
#include <tiffio.h>

namespace {

using namespace orvane_e2e;

class Seams : public Run {
protected:
    // Tile columns of 40 x 32 pixels overlapping by 2 * 6 columns, each
    // column 1000 brighter than the one before: gains and blending change
    // the pixels.
    void SetUp() override { make_acquisition(3, 4, 40, 32); }

    std::vector<std::string> args(const std::string& target, std::vector<std::string> extra) const
    {
        std::vector<std::string> a = {"-i", list, "-o", target, "-s", "3", "-x", "6", "-y", "1"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }

    // A TIFF of the given pages, each width x height, as 32-bit floats or
    // (as_float false) 16-bit integers.
    static void write_pages(const std::string& path, std::uint32_t width, std::uint32_t height,
                            const std::vector<float>& values, bool as_float = true)
    {
        TIFF* tif = TIFFOpen(path.c_str(), "w");
        ASSERT_NE(tif, nullptr);
        for (float value : values) {
            TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, as_float ? 32 : 16);
            TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT,
                         as_float ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
            std::vector<float> f(std::size_t{width} * height, value);
            std::vector<std::uint16_t> u(f.size(), static_cast<std::uint16_t>(value));
            void* data = as_float ? static_cast<void*>(f.data()) : static_cast<void*>(u.data());
            ASSERT_GE(TIFFWriteEncodedStrip(tif, 0, data,
                                            static_cast<tmsize_t>(f.size() * (as_float ? 4 : 2))),
                      0);
            TIFFWriteDirectory(tif);
        }
        TIFFClose(tif);
    }
};

// The corrections change the pixels, and the slice a -j run makes alone, the
// slices a run remakes after its TIFFs went missing and its report equal
// those of one whole run.
TEST_F(Seams, SlicesAloneAndResumedEqualOneWholeRunAndTheReportKeepsEverySlice)
{
    const std::string plain = dir + "/plain", alone = dir + "/alone";
    ASSERT_EQ(run(args(plain, {})).exit_code, 0);
    const process_result whole = run(args(out, {"--seamless"}));
    ASSERT_EQ(whole.exit_code, 0) << whole.err;
    EXPECT_EQ(whole.err, "");
    EXPECT_EQ(
        sorted(slice_lines(whole.out)),
        sorted({full(0) + " done!", full(0) + " done!", full(1) + " done!", full(1) + " done!",
                full(2) + " done!", full(2) + " done!", full(3) + " done!", full(3) + " done!"}));
    // A plain run writes nothing but its slices.
    for (const auto& [name, bytes] : snapshot(plain))
        EXPECT_EQ(name.rfind("stack1/", 0), 0u) << name;
    const std::map<std::string, std::string> made = snapshot(out);
    EXPECT_NE(made.at("stack1/zstackds_1_0002.tif"),
              orvane_test::read_file(plain + "/stack1/zstackds_1_0002.tif"));
    for (const char* name : {"flatfield.tif", "seams.json", "seams.csv", "seams.svg"})
        EXPECT_EQ(made.count(name), 1u) << name;
    const std::vector<std::string> rows = lines(made.at("seams.csv"));
    ASSERT_EQ(rows.size(), 1u + 4 * 2);
    EXPECT_EQ(rows[0], "slice,left_column,dx,dy,score,reliable,gain_left,gain_right");
    for (int k = 0; k < 4; ++k)
        for (int seam = 0; seam < 2; ++seam)
            EXPECT_EQ(rows[1 + 2 * k + seam].rfind(
                          std::to_string(k) + "," + std::to_string(seam) + ",", 0),
                      0u)
                << rows[1 + 2 * k + seam];
    EXPECT_EQ(made.at("seams.svg").rfind("<?xml", 0), 0u);

    const process_result one = run(args(alone, {"--seamless", "-j", "2"}), {"OMP_NUM_THREADS=1"});
    ASSERT_EQ(one.exit_code, 0) << one.err;
    EXPECT_EQ(orvane_test::read_file(alone + "/stack1/zstackds_1_0002.tif"),
              made.at("stack1/zstackds_1_0002.tif"));
    EXPECT_EQ(orvane_test::read_file(alone + "/flatfield.tif"), made.at("flatfield.tif"));
    EXPECT_EQ(lines(orvane_test::read_file(alone + "/seams.csv")),
              (std::vector<std::string>{rows[0], rows[5], rows[6]}));

    // A run stopped before slices 1 and 3 were in place: the rerun remakes
    // them, and the report again holds every slice.
    std::filesystem::remove(full(1));
    std::filesystem::remove(full(3));
    std::filesystem::remove(out + "/seams/slice_0003.csv");
    std::filesystem::remove(out + "/seams.csv");
    const process_result resumed = run(args(out, {"--seamless"}));
    ASSERT_EQ(resumed.exit_code, 0) << resumed.err;
    EXPECT_EQ(snapshot(out), made);
}

// A rerun or task asking for other corrections than the folder's slices
// were made with is refused before any file, naming the difference; so are
// values no run can use.
TEST_F(Seams, OtherCorrectionsThanTheFoldersAndUnusableValuesAreRefused)
{
    const std::string volume = dir + "/v.zarr";
    ASSERT_EQ(run(args(out, {"--match-gain", "--blend", "8", "--ome-zarr", volume})).exit_code, 0);
    EXPECT_NE(orvane_test::read_file(volume + "/.zattrs").find("\"seams\""), std::string::npos);
    std::filesystem::remove(full(2));
    const std::map<std::string, std::string> before = snapshot(out);

    const auto refused = [&](std::vector<std::string> extra, const std::string& words,
                             int status = 1) {
        // The plan of the run says the same and writes nothing either.
        for (const bool plan : {false, true}) {
            std::vector<std::string> a = extra;
            if (plan)
                a.push_back("--plan");
            const process_result r = run(args(out, a));
            EXPECT_EQ(r.exit_code, status) << words << (plan ? " (plan)" : "");
            EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
            EXPECT_EQ(r.out.find("slices\t"), std::string::npos) << r.out;
        }
    };
    const process_result planned =
        run(args(out, {"--match-gain", "--blend", "8", "--ome-zarr", volume, "--plan"}));
    EXPECT_EQ(planned.exit_code, 0) << planned.err;
    EXPECT_NE(planned.out.find("slices\t"), std::string::npos) << planned.out;
    refused({"--match-gain", "--blend", "6", "--ome-zarr", volume},
            "seams.json': the slices here were made with other seam corrections: --blend 8 "
            "there, 6 in this run");
    refused({"--blend", "8"}, "--match-gain there, none in this run");
    // Refused before a flat field is estimated into the folder.
    refused({"--match-gain", "--blend", "8", "--flat-field", "auto"},
            "no --flat-field there, --flat-field auto in this run");
    refused({}, "seams.json': the slices here were made with --match-gain --blend 8, and this "
                "run makes none");
    refused({"--match-gain", "--blend", "13"},
            "the blend width (--blend) 13 is wider than the overlap of 2 * xoverlap = 12 pixels");
    refused({"--register", "-1"}, "(--register) '-1' is not a whole number of pixels");
    refused({"--blend", "x"}, "(--blend) 'x' is not a whole number of pixels");
    refused({"--flat-field", ""}, "no flat field (--flat-field) is given");
    EXPECT_EQ(snapshot(out), before);

    // A folder of slices made without corrections, and a volume recorded
    // with them, refuse the other.
    const std::string plain = dir + "/plain";
    ASSERT_EQ(run(args(plain, {})).exit_code, 0);
    for (const bool plan : {false, true}) {
        std::vector<std::string> extra = {"--register", "3"};
        if (plan)
            extra.push_back("--plan");
        const process_result late = run(args(plain, extra));
        EXPECT_EQ(late.exit_code, 1) << plan;
        EXPECT_NE(late.err.find("already holds slices made without them"), std::string::npos)
            << late.err;
    }
    EXPECT_FALSE(exists(plain + "/seams.json"));
    const process_result other = run(args(dir + "/other", {"--ome-zarr", volume}));
    EXPECT_EQ(other.exit_code, 2);
    EXPECT_NE(other.err.find("(orvane.seams)"), std::string::npos) << other.err;
}

// A run without corrections and one with them started together on an empty
// folder never both end well, and the one that does leaves only slices of
// its own kind: a corrected slice has its rows in seams/, a plain one none.
TEST_F(Seams, APlainAndACorrectedRunStartedTogetherNeverBothGoAhead)
{
    const auto ended_well = [](int status) {
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::filesystem::remove_all(out);
        // Alternating which starts first.
        const std::vector<std::string> plain_args = args(out, {}),
                                       seam_args = args(out, {"--match-gain"});
        const int first = orvane_test::spawn_process(ORVANE_EXE, round % 2 ? seam_args : plain_args,
                                                     {"OMP_NUM_THREADS=1"});
        const int second = orvane_test::spawn_process(
            ORVANE_EXE, round % 2 ? plain_args : seam_args, {"OMP_NUM_THREADS=1"});
        const bool first_well = ended_well(orvane_test::wait_process(first));
        const bool second_well = ended_well(orvane_test::wait_process(second));
        const bool seam_well = round % 2 ? first_well : second_well;
        const bool plain_well = round % 2 ? second_well : first_well;
        EXPECT_FALSE(seam_well && plain_well);
        if (!seam_well && !plain_well)
            continue;
        for (int k = 0; k < 4; ++k) {
            if (!exists(full(k)))
                continue;
            EXPECT_EQ(exists(out + "/seams/slice_000" + std::to_string(k) + ".csv"), seam_well)
                << "slice " << k;
        }
    }
}

// A flat field file corrects every tile as (I - D) / S, rounded and clamped;
// one that is no flat field for these tiles is refused naming the file.
TEST_F(Seams, AFlatFieldFileCorrectsEveryTileAndAnUnfitOneIsRefused)
{
    const std::string field = dir + "/field.tif";
    write_pages(field, 40, 32, {0.5f, 100.0f});  // S 0.5, D 100: (I - 100) * 2
    const process_result r = run(args(out, {"--flat-field", field}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (int k : {0, 3}) {
        const auto image = orvane_test::read_tiff(full(k));
        // Canvas column 28 * j holds flipped tile column 6 of column j,
        // shifted down j rows: tile pixel (33, y - j).
        for (int j = 0; j < 3; ++j)
            for (int y : {j, 20}) {
                const int value = 1000 * j + 100 * k + 33 + y - j;
                EXPECT_EQ(image.at(28 * j, y), std::clamp((value - 100) * 2, 0, 65535))
                    << "slice " << k << " column " << j << " row " << y;
            }
    }
    EXPECT_NE(orvane_test::read_file(out + "/seams.json").find("\"file\""), std::string::npos);

    const auto refused = [&](const std::string& words) {
        const process_result bad = run(args(dir + "/bad", {"--flat-field", field}));
        EXPECT_EQ(bad.exit_code, 2) << words;
        EXPECT_NE(bad.err.find("'" + field + "': " + words), std::string::npos) << bad.err;
        EXPECT_FALSE(exists(dir + "/bad/stack1/zstackds_1_0000.tif"));
    };
    write_pages(field, 40, 32, {1.0f});
    refused("it has 1 page(s) where a flat field has two");
    write_pages(field, 39, 32, {1.0f, 0.0f});
    refused("page 1 (the flat field S) is 39 x 32 pixels where the tiles are 40 x 32");
    write_pages(field, 40, 32, {1.0f, 0.0f}, false);
    refused("page 1 (the flat field S) holds 1 sample(s) of 16 bits (integers)");
    write_pages(field, 40, 32, {0.0f, 0.0f});
    refused("page 1 (the flat field S) holds 0.000000 at x 0, y 0, where every value must be "
            "positive");
}

}  // namespace
