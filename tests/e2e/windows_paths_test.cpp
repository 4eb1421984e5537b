// The Windows build under Wine with paths as Windows users type them.
#include "run_fixture.hpp"

namespace {

using namespace orvane_e2e;
namespace fs = std::filesystem;

// The Windows name of a path of this machine: Wine shows the root as Z:.
std::string windows_path(const std::string& path)
{
    std::string shown = "Z:" + path;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    return shown;
}

class WindowsPaths : public Run {};

// Drive letters, backslashes, mixed separators and names that are not
// ASCII, in the options and in a UTF-8 list file: every slice is made, in
// nested output directories, and printed in the form of the other builds.
TEST_F(WindowsPaths, DrivesBackslashesAndNonAsciiNamesMakeEverySlice)
{
    make_acquisition(2, 3);
    const std::string specimen = dir + "/Gewebe_\u00b5m_\u00df.tif";
    const std::string sample = dir + "/\u8a66\u6599_0001.tif";
    fs::rename(names[1], specimen);
    fs::rename(names[4], sample);
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k) {
        std::string name = k == 1 ? specimen : k == 4 ? sample : names[k];
        name = k % 2 ? windows_path(name) : name;  // mixed with Unix-style names
        if (k == 2)
            name.replace(name.rfind('/'), 1, "\\");
        text += name + "\r\n";
    }
    orvane_test::write_file(list, text);
    const std::string nested = windows_path(dir) + "\\out\\a/b\\c";
    const process_result r = run({"-i", windows_path(list), "-o", nested, "-s", "2", "-d", "2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (int k = 0; k < 3; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "zstackds_1_%04d.tif", k);
        EXPECT_NE(r.out.find(nested + "/stack1//" + name + " done!\n"), std::string::npos) << r.out;
        EXPECT_EQ(orvane_test::read_tiff(dir + "/out/a/b/c/stack1/" + name).width, 48u);
        std::snprintf(name, sizeof name, "zstackds_2_%04d.tif", k);
        EXPECT_EQ(orvane_test::read_tiff(dir + "/out/a/b/c/stack2/" + name).width, 24u);
    }
}

}  // namespace
