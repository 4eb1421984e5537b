// The real binary on a corpus of damaged tiles, odd layouts and hostile names made at test time.
#include "compat/library_conventions.hpp"
#include "process.hpp"
#include "run/slice_plan.hpp"
#include "tiff_forms.hpp"
#include "tiff_io.hpp"
#include "under_test.hpp"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <random>
#include <sstream>
#include <sys/stat.h>

using orvane_test::process_result;
using orvane_test::tiff_form;

namespace {

bool exists(const std::string& path)
{
    struct stat s {};
    return ::stat(path.c_str(), &s) == 0;
}

// True when libtiff decodes every strip of the file without an error.
bool decodes_fully(const std::string& path)
{
    struct close_tiff {
        void operator()(TIFF* t) const { TIFFClose(t); }
    };
    std::unique_ptr<TIFF, close_tiff> tif(TIFFOpen(path.c_str(), "r"));
    if (!tif)
        return false;
    std::vector<unsigned char> strip(static_cast<std::size_t>(TIFFStripSize(tif.get())));
    for (std::uint32_t s = 0; s < TIFFNumberOfStrips(tif.get()); ++s)
        if (TIFFReadEncodedStrip(tif.get(), s, strip.data(), -1) < 0)
            return false;
    return true;
}

std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

class BrokenInput : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();
    std::string out = dir + "/out";

    // Slice k's full-resolution file, by the program's own naming.
    std::string full(int k) const
    {
        return orvane::output_path(orvane::output_dir(out, 1), orvane::output_name(1, k));
    }
    tiff_form good_form;  // 20 x 13, 16-bit strips

    static void SetUpTestSuite()
    {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
    }

    // Lists a good tile, then name, as two slices of one column, and runs the
    // binary in dir under a time bound. Checks what must hold for any input:
    // no signal, no hang, a clear report naming the file on failure, nothing
    // run from a name, and every output file whole.
    process_result run_with(const std::string& name, const std::string& shown_name = {})
    {
        // Existing outputs would mark slices done: every run starts afresh.
        for (const std::string& stack : entries(out))
            for (const std::string& file : entries(out + "/" + stack))
                ::unlink((out + "/" + stack + "/" + file).c_str());
        orvane_test::write_form(dir + "/good.tif", good_form);
        orvane_test::write_file(dir + "/list.txt", "good.tif\n" + name + "\n");
        const process_result r = orvane_test::run_process(
            "/usr/bin/timeout",
            {"-s", "KILL", "20", ORVANE_EXE, "-i", "list.txt", "-o", "out", "-s", "1"},
            {"OMP_NUM_THREADS=2"}, dir);
        EXPECT_EQ(r.signal, 0);
        EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 2) << "exit " << r.exit_code << r.err;
        if (r.exit_code == 2) {
            EXPECT_NE(r.err.find("\n[CImg] *** CImgIOException *** "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("'" + (shown_name.empty() ? name : shown_name) + "'"),
                      std::string::npos)
                << r.err.substr(0, 300);
        }
        EXPECT_FALSE(exists(dir + "/marker"));
        for (const std::string& stack : entries(out)) {
            for (const std::string& file : entries(out + "/" + stack)) {
                if (file.rfind("zstackds_", 0) == 0 && file.size() > 4 &&
                    file.compare(file.size() - 4, 4, ".tif") == 0) {
                    EXPECT_TRUE(decodes_fully(out + "/" + stack + "/" + file)) << file;
                }
            }
        }
        return r;
    }

    // The mosaic of slice 1 when its tile is form: one column, flipped.
    void expect_mosaic_of(const tiff_form& form)
    {
        const auto image = orvane_test::read_tiff(full(1));
        ASSERT_EQ(image.width, form.width);
        ASSERT_EQ(image.height, std::min(form.height, good_form.height));
        for (std::uint32_t y = 0; y < image.height; ++y)
            for (std::uint32_t x = 0; x < image.width; ++x)
                ASSERT_EQ(image.at(x, y), orvane_test::expected_pixel(form, form.width - 1 - x, y))
                    << x << "," << y;
    }
};

TEST_F(BrokenInput, TruncatedTilesEndWithAReportNamingThem)
{
    tiff_form form;
    form.compression = 5;
    form.tile_width = form.tile_length = 16;
    orvane_test::write_form(dir + "/whole.tif", form);
    const std::string whole = orvane_test::read_file(dir + "/whole.tif");
    for (const std::size_t size : {std::size_t{0}, std::size_t{3}, std::size_t{9}, whole.size() / 3,
                                   whole.size() / 2, whole.size() - 5}) {
        SCOPED_TRACE(size);
        orvane_test::write_file(dir + "/cut.tif", whole.substr(0, size));
        EXPECT_EQ(run_with("cut.tif").exit_code, 2);
    }
    // The image library reads a tile in another format cut short without a
    // word, its missing pixels zero or worse: it must end the run as well.
    const std::uint32_t width = good_form.width, height = good_form.height;
    std::string pgm =
        "P5\n# 16-bit\n" + std::to_string(width) + " " + std::to_string(height) + "\n65535\n";
    for (std::uint32_t i = 0; i < width * height; ++i)
        pgm += {static_cast<char>(i >> 8), static_cast<char>(1 + i % 255)};
    const std::size_t pixels_at = pgm.size() - 2 * width * height;
    orvane_test::write_file(dir + "/whole.pgm", pgm);
    EXPECT_EQ(run_with("whole.pgm").exit_code, 0);
    for (const std::size_t size : {pixels_at + width * height, pgm.size() - 1}) {
        SCOPED_TRACE(size);
        orvane_test::write_file(dir + "/cut.pgm", pgm.substr(0, size));
        const process_result r = run_with("cut.pgm");
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find("Failed to read file 'cut.pgm': it holds "), std::string::npos)
            << r.err;
    }
    std::string ascii = "P2\n" + std::to_string(width) + " " + std::to_string(height) + "\n65535\n";
    for (std::uint32_t i = 0; i + 1 < width * height; ++i)
        ascii += std::to_string(i) + " ";
    orvane_test::write_file(dir + "/cut.pgm", ascii);
    EXPECT_EQ(run_with("cut.pgm").exit_code, 2);
    orvane_test::write_file(dir + "/whole.pgm", ascii + "7\n");
    EXPECT_EQ(run_with("whole.pgm").exit_code, 0);
}

TEST_F(BrokenInput, BitFlippedTilesNeverCrashOrLeaveBrokenFiles)
{
    std::mt19937 random(7);
    tiff_form form;
    form.compression = 5;
    orvane_test::write_form(dir + "/whole.tif", form);
    const std::string whole = orvane_test::read_file(dir + "/whole.tif");
    for (int trial = 0; trial < 8; ++trial) {
        std::string bytes = whole;
        for (int i = 0; i < 4; ++i)
            bytes[random() % bytes.size()] ^= static_cast<char>(1u << (random() % 8));
        orvane_test::write_file(dir + "/flipped.tif", bytes);
        SCOPED_TRACE(trial);
        run_with("flipped.tif");
    }
}

TEST_F(BrokenInput, DepthsThatCannotBeReadTrulyAreReported)
{
    for (const std::uint16_t bits : {4, 12, 24}) {
        tiff_form form;
        form.bits = bits;
        orvane_test::write_form(dir + "/deep.tif", form);
        const process_result r = run_with("deep.tif");
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find(std::to_string(bits) + " bits per sample"), std::string::npos)
            << r.err;
    }
}

// The library misreads these layouts; the mosaic must hold the true pixels.
TEST_F(BrokenInput, NonSquareAndPlanarTiledTilesGiveTrueMosaics)
{
    for (const auto& [tw, th, planar] :
         {std::tuple{32u, 16u, false}, std::tuple{16u, 32u, false}, std::tuple{16u, 16u, true}}) {
        tiff_form form = good_form;
        form.tile_width = tw;
        form.tile_length = th;
        form.planar = planar;
        form.samples = planar ? 2 : 1;
        orvane_test::write_form(dir + "/tiled.tif", form);
        ASSERT_EQ(run_with("tiled.tif").exit_code, 0);
        expect_mosaic_of(form);
    }
}

// Samples outside 0..65535 are clamped, not wrapped, and each such tile is
// named once on standard error, the reference tile too though it is read
// twice; a tile of several pages gives its first page and one warning.
TEST_F(BrokenInput, OutOfRangeAndMultiPageTilesAreReadAndNamedOnce)
{
    good_form.format = 2;  // a signed 16-bit reference tile, -896 ... 1167
    good_form.values = {-896, 1167, 0, -5};
    tiff_form wide = good_form;
    wide.bits = 32;
    wide.format = 1;
    wide.values = {124172, 7, 65535, 70000};
    orvane_test::write_form(dir + "/wide.tif", wide);
    process_result r = run_with("wide.tif");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto warnings = [](const std::string& err) {
        std::vector<std::string> found;
        std::istringstream stream(err);
        for (std::string line; std::getline(stream, line);)
            if (line.rfind("orvane: warning: ", 0) == 0)
                found.push_back(line);
        std::sort(found.begin(), found.end());
        return found;
    };
    EXPECT_EQ(warnings(r.err),
              (std::vector<std::string>{
                  "orvane: warning: 'good.tif': 130 samples below 0 (min -896) set to 0",
                  "orvane: warning: 'wide.tif': 130 samples above 65535 (max 124172) set to "
                  "65535"}));
    expect_mosaic_of(wide);
    const auto reference = orvane_test::read_tiff(full(0));
    EXPECT_EQ(reference.at(good_form.width - 1, 0), 0);     // -896
    EXPECT_EQ(reference.at(good_form.width - 2, 0), 1167);  // kept

    good_form = tiff_form();
    tiff_form pages = good_form;
    pages.pages = 24;
    orvane_test::write_form(dir + "/col0.tif", pages);
    r = run_with("col0.tif");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(warnings(r.err),
              std::vector<std::string>{"orvane: warning: 'col0.tif' has 24 pages; only the first "
                                       "is used (list one file per slice)"});
    expect_mosaic_of(pages);
}

TEST_F(BrokenInput, ZeroSizedTilesAndDirectoriesAreReported)
{
    orvane_test::write_file(dir + "/empty.tif", "");
    EXPECT_EQ(run_with("empty.tif").exit_code, 2);
    // A header declaring no columns: patch ImageWidth of a good file to 0.
    orvane_test::write_form(dir + "/zero.tif", good_form);
    std::string bytes = orvane_test::read_file(dir + "/zero.tif");
    std::uint32_t ifd;
    std::memcpy(&ifd, bytes.data() + 4, 4);
    for (std::uint16_t i = 0; i < 20; ++i) {
        char* entry = bytes.data() + ifd + 2 + 12 * i;
        if (entry[0] == 0 && static_cast<unsigned char>(entry[1]) == 1)  // tag 256 little-endian
            std::memset(entry + 8, 0, 4);
    }
    orvane_test::write_file(dir + "/zero.tif", bytes);
    EXPECT_EQ(run_with("zero.tif").exit_code, 2);
    ::mkdir((dir + "/folder.tif").c_str(), 0777);
    const process_result r = run_with("folder.tif");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("directory"), std::string::npos) << r.err;
}

// Names are opened as files and nothing else: no shell, no program, no fetch.
TEST_F(BrokenInput, HostileNamesRunNothing)
{
    const std::string names[] = {"$(touch marker).tif",
                                 "`touch marker`.tif",
                                 "a\"b'c;touch marker.tif",
                                 "$(touch marker).pgm",
                                 "`touch marker`.pdf",
                                 "$(touch marker).gz",
                                 "x.nef"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
#ifdef ORVANE_E2E_WINDOWS
        if (name.find('"') != std::string::npos)
            continue;  // no Windows file name holds a double quote
#endif
        EXPECT_EQ(run_with(name).exit_code, 2);  // missing
        orvane_test::write_file(dir + "/" + name, "P5\n4 4\n255\n0123456789abcdef");
        run_with(name);
        orvane_test::write_form(dir + "/" + name, good_form);
        ASSERT_EQ(run_with(name).exit_code, 0);  // a TIFF, whatever the name
        expect_mosaic_of(good_form);
    }
    const process_result r = run_with("http://127.0.0.1:9/tile.tif");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("web addresses are not read"), std::string::npos) << r.err;
}

TEST_F(BrokenInput, NamesWithNulBytesAreReported)
{
    orvane_test::write_form(dir + "/a.tif", good_form);
    const process_result nul = run_with(std::string("a.tif\0junk", 10), "a.tif\\0junk");
    EXPECT_EQ(nul.exit_code, 2);
    EXPECT_NE(nul.err.find("NUL"), std::string::npos) << nul.err;
}

// A list that is no list (a device that never ends, a line longer than any
// path) is refused at a bound instead of filling the memory; a list from a
// pipe still works, and a byte-order mark is no part of the first name.
TEST_F(BrokenInput, ListsPastAnyBoundAreRefusedAndPipesAndMarksWork)
{
    for (const std::string& list : {std::string("/dev/zero"), dir + "/long.txt"}) {
        orvane_test::write_file(dir + "/long.txt", std::string(1 << 20, 'n') + ".tif\n");
        const process_result r = orvane_test::run_process(
            "/usr/bin/timeout", {"-s", "KILL", "20", ORVANE_EXE, "-i", list, "-o", out},
            {"OMP_NUM_THREADS=2"}, dir);
        EXPECT_EQ(r.exit_code, 2) << list;
        EXPECT_EQ(r.err, "orvane: the list file '" + list +
                             "': it has a line longer than 65536 bytes; it is not a list of tile "
                             "names\n");
    }
    orvane_test::write_form(dir + "/good.tif", good_form);
    orvane_test::write_file(dir + "/list.txt", "\xEF\xBB\xBFgood.tif\r\ngood.tif\r\n");
#ifdef ORVANE_E2E_WINDOWS
    // Windows has no /dev/fd: a pipe from the shell names nothing it can open.
    const process_result piped =
        orvane_test::run_process(ORVANE_EXE, {"-i", "list.txt", "-o", "out", "-s", "1"}, {}, dir);
#else
    const process_result piped = orvane_test::run_process(
        "/bin/bash", {"-c", "\"$0\" -i <(cat list.txt) -o out -s 1", ORVANE_EXE}, {}, dir);
#endif
    EXPECT_EQ(piped.exit_code, 0) << piped.err;
    expect_mosaic_of(good_form);
}

// PowerShell 5.1 saves a list as UTF-16; a list in the ANSI code page has
// names that are not UTF-8; a list that exists but cannot be read ended the
// run with "no list.txt!" and status 0, as if every slice were done.
TEST_F(BrokenInput, Utf16ListsWorkAndBadOrUnreadableListsEndTheRun)
{
    orvane_test::write_form(dir + "/good.tif", good_form);
    const std::string names = "good.tif\r\ngood.tif\r\n";
    std::string text = "\xFF\xFE";
    for (const char c : names)
        text += std::string{c, '\0'};
    orvane_test::write_file(dir + "/list.txt", text);
    const process_result utf16 =
        orvane_test::run_process(ORVANE_EXE, {"-i", "list.txt", "-o", "out", "-s", "1"}, {}, dir);
    EXPECT_EQ(utf16.exit_code, 0) << utf16.err;
    expect_mosaic_of(good_form);

    orvane_test::write_file(dir + "/list.txt", "good.tif\nGewebe_\xB5m.tif\n");
    const process_result ansi =
        orvane_test::run_process(ORVANE_EXE, {"-i", "list.txt", "-o", "out", "-s", "1"}, {}, dir);
    EXPECT_EQ(ansi.exit_code, 2);
    EXPECT_EQ(ansi.err, "orvane: the list file 'list.txt': the name on line 2 is not valid UTF-8 "
                        "(byte 0xB5 at byte 8); the list must be UTF-8 or UTF-16 (with its "
                        "byte-order mark)\n");

    // Opens, but reading its first page fails.
    const process_result unreadable = orvane_test::run_process(
        ORVANE_EXE, {"-i", "/proc/self/mem", "-o", "out", "-s", "1"}, {}, dir);
    EXPECT_EQ(unreadable.exit_code, 2);
    EXPECT_EQ(unreadable.err.rfind("orvane: the list file '/proc/self/mem': cannot ", 0), 0u)
        << unreadable.err;
    EXPECT_EQ(unreadable.out.find("no list.txt!"), std::string::npos);
}

// Tiles must be plain files: a FIFO nobody writes to, or standard input from
// a silent pipe, would block the open forever and the run would never end.
TEST_F(BrokenInput, TilesThatAreNoPlainFilesEndTheRunAtOnce)
{
    ASSERT_EQ(::mkfifo((dir + "/fifo.tif").c_str(), 0666), 0);
    for (const std::string& name : {std::string("fifo.tif"), std::string("/dev/stdin")}) {
        orvane_test::write_form(dir + "/good.tif", good_form);
        orvane_test::write_file(dir + "/list.txt", "good.tif\n" + name + "\n");
        const auto start = std::chrono::steady_clock::now();
        const process_result r = orvane_test::run_process(
            "/bin/bash",
            {"-c",
             "exec /usr/bin/timeout -s KILL 20 \"$0\" -i list.txt -o out -s 1 "
             "< <(exec sleep 30 2>/dev/null)",
             ORVANE_EXE},
            {"OMP_NUM_THREADS=2"}, dir);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << name;
        EXPECT_EQ(r.exit_code, 2) << name;
        EXPECT_NE(r.err.find("'" + name + "': it is not a regular file"), std::string::npos)
            << r.err;
    }
}

}  // namespace
