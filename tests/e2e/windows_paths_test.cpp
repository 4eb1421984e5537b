// The Windows build under Wine with paths as Windows users type them.
#include "run_fixture.hpp"

#include <thread>

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

// The extended form (\\?\Z:\...) made "cannot create the directory: Invalid
// argument": the "/" and "//" the program appends are literal characters
// after \\?\. A trailing blank, which Windows drops, would make a folder
// Explorer can neither open nor delete.
TEST_F(WindowsPaths, ExtendedOutputPathsWorkAndTrailingBlanksAreRefused)
{
    make_acquisition(2, 3);
    const std::string extended = "\\\\?\\" + windows_path(out);
    const process_result r = run({"-i", list, "-o", extended, "-s", "2", "-d", "2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (int k = 0; k < 3; ++k) {
        EXPECT_NE(r.out.find(extended + "/stack1//zstackds_1_000" + std::to_string(k) + ".tif"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(orvane_test::read_tiff(output(1, k)).width, 48u);
        EXPECT_EQ(orvane_test::read_tiff(output(2, k)).width, 24u);
    }

    // D: and D:run2 are in the current directory of drive D, as cmd takes them.
    for (const std::string drive_relative : {"Z:", "Z:run2"}) {
        const process_result relative = orvane_test::run_process(
            ORVANE_EXE, {"-i", list, "-o", drive_relative, "-s", "2"}, {"OMP_NUM_THREADS=2"}, dir);
        ASSERT_EQ(relative.exit_code, 0) << relative.err;
        const std::string made = drive_relative == "Z:" ? dir : dir + "/run2";
        EXPECT_EQ(orvane_test::read_tiff(made + "/stack1/zstackds_1_0002.tif").width, 48u)
            << drive_relative;
    }

    const process_result blank = run({"-i", list, "-o", windows_path(dir) + "\\run1 ", "-s", "2"});
    EXPECT_EQ(blank.exit_code, 2);
    EXPECT_NE(blank.err.find("cannot create the directory: a name in the path ends in a blank"),
              std::string::npos)
        << blank.err;
    EXPECT_FALSE(fs::exists(dir + "/run1 "));
    EXPECT_FALSE(fs::exists(dir + "/run1"));
}

// An on-access virus scanner opens every new file for a moment, reading
// and letting others only read: the rename into place failed ("Permission
// denied", status 2) after the slice was made. The helper holds each
// temporary it can open for 1.5 s.
TEST_F(WindowsPaths, ARunBesideAVirusScannerMakesEverySlice)
{
    make_acquisition(2, 12, 160, 120);
    const std::string stop = dir + "/stop", held = dir + "/held.txt";
    const int scanner = orvane_test::spawn_process(
        ORVANE_WINE_RUN, {ORVANE_PART_SCANNER, "1500", windows_path(stop), windows_path(held),
                          windows_path(out + "/stack1"), windows_path(out + "/stack2")});
    std::this_thread::sleep_for(std::chrono::seconds(1));  // Wine starts it
    const process_result r = run({"-i", list, "-o", out, "-s", "2", "-d", "2"});
    orvane_test::write_file(stop, "");
    orvane_test::wait_process(scanner);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (int k = 0; k < 12; ++k) {
        EXPECT_EQ(orvane_test::read_tiff(output(1, k)).width, 2 * 160u) << k;
        EXPECT_EQ(orvane_test::read_tiff(output(2, k)).width, 160u) << k;
    }
    for (const std::string stack : {"/stack1", "/stack2"})
        for (const auto& entry : fs::directory_iterator(out + stack))
            EXPECT_EQ(entry.path().extension(), ".tif") << entry.path();
    // A scanner that never got hold of a file would show nothing.
    const std::vector<std::string> held_files = lines(orvane_test::read_file(held));
    EXPECT_GE(held_files.size(), 1u);
    std::cout << "the scanner held " << held_files.size() << " of 24 temporaries\n";
}

}  // namespace
