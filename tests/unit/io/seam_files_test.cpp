// The files of a seam-corrected run: the flat field written and read back, and the report
// gathered from the rows of done slices only.
#include "base/error.hpp"
#include "io/flat_field_file.hpp"
#include "io/output_file.hpp"
#include "io/seam_report.hpp"
#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

namespace {

orvane::flat_field field_of(std::uint32_t width, std::uint32_t height)
{
    orvane::flat_field f;
    f.width = width;
    f.height = height;
    for (std::uint32_t i = 0; i < width * height; ++i) {
        f.flat.push_back(0.5f + static_cast<float>(i) / 7.0f);
        f.dark.push_back(100.25f - static_cast<float>(i));
    }
    return f;
}

void write(const std::string& path, const orvane::flat_field& f)
{
    orvane::output_file file(path);
    file.hold(orvane::write_flat_field(file.temp_path(), f));
    file.commit();
}

// Every value comes back as written, and a field that would divide by zero
// or carry a non-number into every tile is refused naming the pixel.
TEST(FlatFieldFile, ValuesComeBackExactlyAndUnusableOnesAreRefused)
{
    const std::string dir = orvane_test::make_temp_dir();
    const orvane::flat_field f = field_of(5, 3);
    write(dir + "/f.tif", f);
    const orvane::flat_field back = orvane::read_flat_field(dir + "/f.tif", {5, 3});
    EXPECT_EQ(back.flat, f.flat);
    EXPECT_EQ(back.dark, f.dark);
    EXPECT_EQ(orvane::flat_field_identity(back), orvane::flat_field_identity(f));
    orvane::flat_field other = f;
    other.dark[14] += 1.0f;
    EXPECT_NE(orvane::flat_field_identity(other), orvane::flat_field_identity(f));

    const auto refused = [&](orvane::flat_field bad, const std::string& words) {
        write(dir + "/bad.tif", bad);
        try {
            orvane::read_flat_field(dir + "/bad.tif", {5, 3});
            ADD_FAILURE() << "accepted: " << words;
        } catch (const orvane::error& e) {
            EXPECT_EQ(e.kind(), orvane::failure_kind::read);
            EXPECT_EQ(e.path(), dir + "/bad.tif");
            EXPECT_NE(e.cause().find(words), std::string::npos) << e.cause();
        }
    };
    orvane::flat_field bad = f;
    bad.flat[7] = -0.5f;
    refused(bad, "page 1 (the flat field S) holds -0.500000 at x 2, y 1");
    bad = f;
    bad.dark[4] = std::numeric_limits<float>::quiet_NaN();
    refused(bad, "page 2 (the dark field D) holds a value that is no finite number at x 4, y 0");
    EXPECT_THROW(orvane::read_flat_field(dir + "/f.tif", {5, 4}), orvane::error);
}

// The report holds the rows of the slices counted done, in slice order,
// whatever else lies in the rows' folder; the picture marks the slices
// whose match was unreliable.
TEST(SeamReport, HoldsTheRowsOfDoneSlicesInOrder)
{
    const std::string dir = orvane_test::make_temp_dir();
    orvane::seam_measure m;
    m.dx = -2;
    m.dy = 3;
    m.score = 0.81234;
    m.reliable = true;
    m.gain_left = 1.25;
    m.gain_right = 0.8;
    for (std::int32_t k : {12, 3, 7})
        orvane::commit_seam_rows(dir, k, {m, m});
    orvane::seam_measure unreliable;
    orvane::commit_seam_rows(dir, 40, {unreliable, unreliable});
    orvane_test::write_file(dir + "/seams/notes.csv", "1,0,0,0,0,0,1,1\n");
    const std::set<std::int32_t> done = {3, 12, 40};
    orvane::rebuild_seam_report(
        dir, [&](std::int32_t k) { return done.count(k) > 0; }, true);
    const std::string row = ",0,-2,3,0.8123,1,1.250000,0.800000\n";
    const std::string none = "40,0,0,0,0.0000,0,1.000000,1.000000\n";
    EXPECT_EQ(orvane_test::read_file(dir + "/seams.csv"), orvane::seam_rows_header + ("3" + row) +
                                                              "3" + row + "12" + row + "12" + row +
                                                              none + none);
    const std::string picture = orvane_test::read_file(dir + "/seams.svg");
    EXPECT_NE(picture.find("</svg>"), std::string::npos);
    EXPECT_NE(picture.find("slice 40: a match was unreliable"), std::string::npos);
    EXPECT_EQ(picture.find("slice 3: a match was unreliable"), std::string::npos);
}

}  // namespace
