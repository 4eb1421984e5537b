// Loading a tile by name: the library's messages, unsafe names, and formats.
#include "base/error.hpp"
#include "compat/library_conventions.hpp"
#include "io/tile_loader.hpp"

#include "tiff_forms.hpp"
#include "tiff_io.hpp"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

using orvane_test::tiff_form;

namespace {

class LoadTile : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();

    static void SetUpTestSuite() { orvane::configure_image_library(); }

    static std::string message_of(const std::string& name)
    {
        try {
            orvane::load_tile(name);
        } catch (const orvane::error& e) {
            return orvane::describe_error(e).message;
        }
        return "";
    }
};

// The library's own words, which scripts look for, followed by the system's reason.
TEST_F(LoadTile, MissingFileGivesTheLibrarysOwnMessageAndTheReason)
{
    const std::string name = dir + "/missing.tif";
    // The null pointer is printed as the C library prints one: "(nil)" or zeros.
    char null_pointer[32];
    std::snprintf(null_pointer, sizeof null_pointer, "%p", static_cast<void*>(nullptr));
#ifdef _WIN32
    // Windows' own words, which Wine words otherwise, and the code.
    const std::string reason = " (Windows error 2).";
#else
    const std::string reason = "No such file or directory.";
#endif
    const std::string message = message_of(name);
    EXPECT_EQ(message.rfind("[instance(0,0,0,0," + std::string(null_pointer) +
                                ",non-shared)] CImg<uint16>::load(): Failed to open file '" + name +
                                "': ",
                            0),
              0u)
        << message;
    EXPECT_EQ(message.substr(message.size() - std::min(message.size(), reason.size())), reason);
    orvane::image library;
    try {
        library.load(name.c_str());
    } catch (const cimg_library::CImgIOException& e) {
        const std::string own = e.what();
        EXPECT_EQ(message_of(name).rfind(own.substr(0, own.size() - 1), 0), 0u);
    }
}

// The library reads a file of its own formats cut short without a word,
// leaving zeros or stale memory: every such tile is a read error naming it,
// and a whole one loads as it was written.
TEST_F(LoadTile, LibraryFormatsCutShortAreReadErrors)
{
    orvane::image pixels(7, 5, 1, 1);  // rows of 7 need padding in a BMP
    cimg_forXY(pixels, x, y) pixels(x, y) = static_cast<unsigned short>(10 * x + y);
    for (const char* extension : {".pgm", ".bmp", ".pfm"}) {
        SCOPED_TRACE(extension);
        const std::string whole = dir + "/whole" + extension, cut = dir + "/cut" + extension;
        pixels.save(whole.c_str());
        EXPECT_EQ(orvane::load_tile(whole).get_channel(0), pixels);
        const std::string bytes = orvane_test::read_file(whole);
        orvane_test::write_file(cut, bytes.substr(0, bytes.size() - 1));
        EXPECT_NE(message_of(cut).find("Failed to read file '" + cut + "': it holds "),
                  std::string::npos)
            << message_of(cut);
    }
}

TEST_F(LoadTile, AReusedImageHoldsOnlyTheNewTile)
{
    auto pattern = [](std::uint16_t base) {
        return [base](std::uint32_t x, std::uint32_t y) {
            return static_cast<std::uint16_t>(base + 100 * y + x);
        };
    };
    orvane_test::write_tile(dir + "/a.tif", 30, 20, pattern(1));
    orvane_test::write_tile(dir + "/b.tif", 30, 20, pattern(7), 5);
    orvane_test::write_tile(dir + "/wide.tif", 40, 20, pattern(3));
    orvane_test::write_tile(dir + "/cut.tif", 30, 20, pattern(9));
    const std::string cut = orvane_test::read_file(dir + "/cut.tif");
    {
        std::ofstream out(dir + "/cut.tif", std::ios::binary | std::ios::trunc);
        out << cut.substr(0, 700);  // the pixel data ends early
    }
    orvane::image_buffer buffer;
    const orvane::image& into = buffer.pixels();
    for (const auto& [name, base, width] :
         {std::tuple{"a", 1, 30}, std::tuple{"b", 7, 30}, std::tuple{"wide", 3, 40},
          std::tuple{"cut", -1, 0}, std::tuple{"a", 1, 30}}) {
        SCOPED_TRACE(name);
        if (base < 0) {
            EXPECT_THROW(orvane::load_tile(dir + "/" + name + ".tif", buffer), orvane::error);
            continue;
        }
        orvane::load_tile(dir + "/" + name + ".tif", buffer);
        ASSERT_EQ(into.width(), width);
        ASSERT_EQ(into.height(), 20);
        const auto expected = pattern(static_cast<std::uint16_t>(base));
        int wrong = 0;
        cimg_forXY(into, x, y) wrong += into(x, y) != expected(x, y);
        EXPECT_EQ(wrong, 0);
    }
}

TEST_F(LoadTile, UnsafeNamesAreRefusedWithTheirReason)
{
    orvane_test::write_tile(dir + "/a.tif", 4, 4, [](std::uint32_t, std::uint32_t) { return 1; });
    const std::string with_nul = dir + "/a.tif" + std::string(1, '\0') + "x";
    EXPECT_NE(message_of(with_nul).find("NUL"), std::string::npos) << message_of(with_nul);
    for (const std::string& url : std::vector<std::string>{
             "http://localhost/a.tif", "HTTPS://x/a.tif", "ftp://x/a.tif", "file:///etc/passwd"})
        EXPECT_NE(message_of(url).find("'" + url + "': web addresses are not read."),
                  std::string::npos)
            << message_of(url);
    EXPECT_NE(message_of(dir).find("directory"), std::string::npos) << message_of(dir);
}

// The library would run a program through a shell for some names; none
// may run, whatever the name holds.
TEST_F(LoadTile, NoNameRunsAProgram)
{
    const std::string marker = dir + "/marker";
    for (const char* ext : {".pdf", ".nef", ".gz", ".gif", ".dcm", ".mp4", ".xyz", ".pgm"}) {
        for (const std::string& stem : {"$(touch " + marker + ")", "`touch " + marker + "`",
                                        "\"; touch " + marker + "; \""}) {
            const std::string name = dir + "/" + stem + ext;
            EXPECT_NE(message_of(name), "");  // missing
            orvane_test::write_file(name, "not an image");
            EXPECT_NE(message_of(name), "") << name;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
}

// Detection goes by content: a TIFF with another extension, and a BigTIFF,
// still go through the project's reader.
TEST_F(LoadTile, TiffsAreFoundByTheirSignatureWhateverTheName)
{
    tiff_form form;
    form.bits = 12;
    orvane_test::write_form(dir + "/twelve.png", form);
    EXPECT_NE(message_of(dir + "/twelve.png").find("12 bits"), std::string::npos);
    form.bits = 16;
    form.bigtiff = true;
    orvane_test::write_form(dir + "/big.data", form);
    const orvane::image tile = orvane::load_tile(dir + "/big.data");
    EXPECT_EQ(tile(7, 9), orvane_test::expected_pixel(form, 7, 9));
}

}  // namespace
