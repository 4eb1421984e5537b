// The own TIFF reader: every layout it takes, and every damage it refuses.
#include "base/error.hpp"
#include "compat/library_conventions.hpp"
#include "io/tile_loader.hpp"
#include "io/tile_reader.hpp"

#include "tiff_forms.hpp"
#include "tiff_io.hpp"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <thread>

using orvane::tile_pixels;
using orvane_test::tiff_form;

namespace {

std::string describe(const tiff_form& f)
{
    return std::to_string(f.bits) + "-bit format " + std::to_string(f.format) + ", " +
           std::to_string(f.samples) + " samples" + (f.planar ? " planar" : "") +
           (f.tile_width
                ? ", tiles " + std::to_string(f.tile_width) + "x" + std::to_string(f.tile_length)
                : ", strips") +
           (f.big_endian ? ", big-endian" : "") + (f.compression == 5 ? ", LZW" : "");
}

// Every integer and float depth the reader supports, over strips and tiles
// of several shapes, both plane layouts and byte orders.
std::vector<tiff_form> supported_forms()
{
    const std::pair<std::uint16_t, std::uint16_t> depths[] = {{8, 1},  {8, 2},  {16, 1}, {16, 2},
                                                              {32, 1}, {32, 2}, {32, 3}};
    const std::pair<std::uint32_t, std::uint32_t> tilings[] = {
        {0, 0}, {16, 16}, {32, 16}, {16, 48}};
    std::vector<tiff_form> forms;
    for (const auto& [bits, format] : depths)
        for (const auto& [tw, th] : tilings)
            for (const bool planar : {false, true}) {
                tiff_form f;
                f.width = 37;  // partial edge tiles on both axes
                f.height = 21;
                f.bits = bits;
                f.format = format;
                f.samples = 3;
                f.planar = planar;
                f.tile_width = tw;
                f.tile_length = th;
                f.pages = 2;
                f.big_endian = bits == 16 || (bits == 32 && planar);
                f.compression = format == 2 ? 5 : 1;
                forms.push_back(f);
            }
    return forms;
}

class TileReader : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();
    int count = 0;

    static void SetUpTestSuite() { orvane::configure_image_library(); }

    std::string write(const tiff_form& form)
    {
        const std::string path = dir + "/f" + std::to_string(count++) + ".tif";
        orvane_test::write_form(path, form);
        return path;
    }

    static void expect_true_pixels(const tile_pixels& t, const tiff_form& form)
    {
        ASSERT_EQ(t.width, form.width);
        ASSERT_EQ(t.height, form.height);
        ASSERT_EQ(t.pixels.size(), std::size_t{form.width} * form.height);
        for (std::uint32_t y = 0; y < form.height; ++y)
            for (std::uint32_t x = 0; x < form.width; ++x)
                ASSERT_EQ(t.pixels[y * form.width + x], orvane_test::expected_pixel(form, x, y))
                    << "at " << x << "," << y;
    }

    static std::string error_of(const std::string& path)
    {
        try {
            orvane::read_tiff_tile(path);
        } catch (const orvane::error& e) {
            return e.what();
        }
        return "";
    }
};

TEST_F(TileReader, EverySupportedLayoutGivesTheFirstChannelOfTheFirstPageExactly)
{
    for (const tiff_form& form : supported_forms()) {
        SCOPED_TRACE(describe(form));
        expect_true_pixels(orvane::read_tiff_tile(write(form)), form);
    }
}

// A tile drawn as it is read sees each band once, top to bottom, decoded in
// the room it gave for that band, which is reused and holds old pixels.
TEST_F(TileReader, BandsComeInOrderEachInTheRoomGivenForIt)
{
    class collect : public orvane::row_sink {
    public:
        tile_pixels whole;
        std::uint32_t next_row = 0;
        std::vector<std::uint16_t> band;
        void begin(std::uint32_t width, std::uint32_t height) override
        {
            ASSERT_EQ(whole.width, 0u) << "begin called twice";
            whole.width = width;
            whole.height = height;
            whole.pixels.assign(std::size_t{width} * height, 0);
        }
        std::uint16_t* room(std::uint32_t y0, std::uint32_t count) override
        {
            EXPECT_EQ(y0, next_row);
            band.assign(std::size_t{count} * whole.width, 0xaaaa);
            return band.data();
        }
        void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* pixels) override
        {
            ASSERT_EQ(y0, next_row);
            ASSERT_EQ(pixels, band.data());
            ASSERT_LE(std::uint64_t{y0} + count, whole.height);
            std::copy(pixels, pixels + std::size_t{count} * whole.width,
                      whole.pixels.begin() + static_cast<std::ptrdiff_t>(y0 * whole.width));
            next_row = y0 + count;
        }
    };
    for (const tiff_form& form : supported_forms()) {
        SCOPED_TRACE(describe(form));
        collect sink;
        orvane::read_tiff_rows(write(form), sink);
        EXPECT_EQ(sink.next_row, form.height);
        expect_true_pixels(sink.whole, form);
    }
}

// A reader that swaps tile width and length, or copies edge-tile padding,
// fails here though square whole tiles pass.
TEST_F(TileReader, NonSquareAndPlanarPartialTilesGiveTheirTruePixels)
{
    for (const auto& [tw, th, planar] : {std::tuple{48u, 16u, false}, std::tuple{16u, 64u, false},
                                         std::tuple{16u, 16u, true}, std::tuple{32u, 16u, true}}) {
        tiff_form form;
        form.width = 70;
        form.height = 50;
        form.samples = 2;
        form.tile_width = tw;
        form.tile_length = th;
        form.planar = planar;
        SCOPED_TRACE(describe(form));
        expect_true_pixels(orvane::read_tiff_tile(write(form)), form);
        const orvane::image tile = orvane::load_tile(write(form));
        ASSERT_EQ(tile.width(), form.width);
        ASSERT_EQ(tile.height(), form.height);
        EXPECT_EQ(tile(3, 47), orvane_test::expected_pixel(form, 3, 47));
    }
}

// The files the library reads correctly must not change when tiles go
// through the project's reader: same size, same first channel wherever the
// samples fit 16 bits (the library wraps the others).
TEST_F(TileReader, AgreesWithTheLibraryWhereTheLibraryIsRight)
{
    for (tiff_form form : supported_forms()) {
        const bool square = form.tile_width == form.tile_length;
        if (!square || (form.planar && form.tile_width))
            continue;     // the library misreads these
        form.width = 32;  // whole tiles
        form.height = 32;
        if (form.bits == 32 && form.format != 3)  // else hardly any fit 16 bits
            for (std::uint32_t i = 0; i < 32 * 32; ++i)
                form.values.push_back(i * 40503 % 65536);
        SCOPED_TRACE(describe(form));
        const std::string path = write(form);
        const tile_pixels ours = orvane::read_tiff_tile(path);
        orvane::image theirs;
        theirs.load(path.c_str());
        ASSERT_EQ(ours.width, theirs.width());
        ASSERT_EQ(ours.height, theirs.height());
        int compared = 0;
        for (std::uint32_t y = 0; y < ours.height; ++y)
            for (std::uint32_t x = 0; x < ours.width; ++x) {
                const double sample = orvane_test::sample_value(form, x, y, 0, 0);
                if (sample < 0 || sample > 65535)
                    continue;
                ASSERT_EQ(ours.pixels[y * ours.width + x], theirs(x, y, 0, 0))
                    << "at " << x << "," << y;
                ++compared;
            }
        EXPECT_GT(compared, 0);
    }
}

// Whatever the sample type, values outside 0..65535 go to the nearer end
// (wrapping would make -1 white), and the tile is named once on standard
// error with how many were clamped and their extremes, counting the first
// channel only; tiles whose samples fit are read as they are, silently.
TEST_F(TileReader, SamplesOutside16BitsAreClampedAndReportedOncePerTile)
{
    struct sample_case {
        std::uint16_t bits, format;
        std::vector<double> values;
        std::string warning;  // after the tile's name; empty for none
    };
    const double nan = std::nan("");
    const sample_case cases[] = {
        {32,
         1,
         {0, 7, 65535, 65536, 124172, 4294967295.0},
         "3 samples above 65535 (max 4294967295) set to 65535"},
        {32, 1, {0, 7, 58636, 65535}, ""},
        {32,
         2,
         {-2147483648.0, -1, 0, 65535, 65536, 2147483647.0},
         "2 samples below 0 (min -2147483648) set to 0; 2 samples above 65535 (max 2147483647) set "
         "to 65535"},
        {16, 2, {-896, -1, 0, 1167, 32767, -32768}, "3 samples below 0 (min -32768) set to 0"},
        {16, 2, {0, 1167, 32767}, ""},
        {8, 2, {-128, -1, 0, 127}, "2 samples below 0 (min -128) set to 0"},
        {8, 2, {0, 5, 127}, ""},
        {8, 1, {0, 128, 255}, ""},
        {32,
         3,
         {-0.5, nan, 0.75, 65535.5, 70000.25, 65534.9},
         "1 sample below 0 (min -0.5) set to 0; 2 samples above 65535 (max 70000.25) set to 65535; "
         "1 sample not a number (NaN) set to 0"},
        {32, 3, {0, 0.75, 1167.5, 65535}, ""},
    };
    for (const sample_case& c : cases) {
        // Strips, tiles, and a second channel whose values must not count.
        for (const auto& [tile, samples] : {std::pair{0u, 1}, {16u, 1}, {0u, 2}}) {
            tiff_form form;
            form.bits = c.bits;
            form.format = c.format;
            form.values = c.values;
            form.width = static_cast<std::uint32_t>(c.values.size());
            form.height = 1;
            form.tile_width = form.tile_length = tile;
            form.samples = static_cast<std::uint16_t>(samples);
            SCOPED_TRACE(describe(form) + " " + c.warning);
            const std::string path = write(form);
            testing::internal::CaptureStderr();
            const tile_pixels once = orvane::read_tiff_tile(path);
            expect_true_pixels(orvane::read_tiff_tile(path), form);
            EXPECT_EQ(testing::internal::GetCapturedStderr(),
                      c.warning.empty() ? ""
                                        : "orvane: warning: '" + path + "': " + c.warning + "\n");
            expect_true_pixels(once, form);
        }
    }
}

TEST_F(TileReader, DepthsThatCannotBeHeldTrulyAreRefusedByName)
{
    const std::pair<std::uint16_t, std::uint16_t> depths[] = {{1, 1},  {2, 1},  {4, 1},  {12, 1},
                                                              {24, 1}, {64, 1}, {64, 3}, {16, 3}};
    for (const auto& [bits, format] : depths) {
        tiff_form form;
        form.bits = bits;
        form.format = format;
        SCOPED_TRACE(describe(form));
        const std::string path = write(form);
        EXPECT_NE(error_of(path).find(std::to_string(bits) + " bits per sample"), std::string::npos)
            << error_of(path);
        try {
            orvane::load_tile(path);
            ADD_FAILURE() << "loaded";
        } catch (const orvane::error& e) {
            const std::string shown = orvane::describe_error(e).message;
            EXPECT_NE(shown.find("Failed to read file '" + path + "': "), std::string::npos)
                << shown;
        }
    }
}

// Sizes come from the header: a few bytes must not make the reader
// allocate gigabytes.
TEST_F(TileReader, AbsurdDeclaredSizesAreRefusedBeforeAllocating)
{
    for (const std::uint16_t compression : {1, 5}) {
        tiff_form form;
        form.compression = compression;
        std::string bytes = orvane_test::read_file(write(form));
        // Patch ImageWidth and ImageLength in the one IFD of a little-endian file.
        std::uint32_t ifd;
        std::memcpy(&ifd, bytes.data() + 4, 4);
        std::uint16_t entries;
        std::memcpy(&entries, bytes.data() + ifd, 2);
        for (std::uint16_t i = 0; i < entries; ++i) {
            char* entry = bytes.data() + ifd + 2 + 12 * i;
            std::uint16_t tag, type;
            std::memcpy(&tag, entry, 2);
            std::memcpy(&type, entry + 2, 2);
            if (tag != TIFFTAG_IMAGEWIDTH && tag != TIFFTAG_IMAGELENGTH)
                continue;
            const std::uint32_t huge = type == TIFF_SHORT ? 65535 : 1000000;
            std::memcpy(entry + 8, &huge, type == TIFF_SHORT ? 2 : 4);
        }
        const std::string path = dir + "/huge.tif";
        orvane_test::write_file(path, bytes);
        EXPECT_NE(error_of(path).find("declares"), std::string::npos) << error_of(path);
    }
}

// Whatever prefix of a file is left, the result is an error or the whole
// image, never a partial one.
TEST_F(TileReader, TruncationAtAnyOffsetIsAnErrorOrTheWholeImage)
{
    for (const std::uint16_t compression : {1, 5}) {
        for (const std::uint32_t tile : {0u, 16u}) {
            tiff_form form;
            form.compression = compression;
            form.tile_width = form.tile_length = tile;
            form.pages = 2;
            SCOPED_TRACE(describe(form));
            const std::string whole = orvane_test::read_file(write(form));
            const std::string path = dir + "/cut.tif";
            int errors = 0;
            const std::size_t step = whole.size() / 50 + 1;  // ~50 cuts: file writes are slow here
            for (std::size_t size = 0; size < whole.size(); size += step) {
                orvane_test::write_file(path, whole.substr(0, size));
                try {
                    expect_true_pixels(orvane::read_tiff_tile(path), form);
                } catch (const orvane::error& e) {
                    EXPECT_STRNE(e.what(), "");
                    ++errors;
                }
            }
            EXPECT_GT(errors, 0);
        }
    }
}

// Corrupt bytes anywhere: an error or an image of the size it declares,
// never a crash (the sanitizer builds make a bad read visible).
TEST_F(TileReader, BitFlipsGiveAnErrorOrAWellFormedImage)
{
    std::mt19937 random(20240611);
    // LZW strips of one 16-bit sample go through the project's own decoder.
    for (const auto& [compression, tiling] :
         {std::pair<std::uint16_t, std::uint32_t>{1, 0}, {5, 16}, {5, 0}}) {
        tiff_form form;
        form.compression = compression;
        form.tile_width = tiling;
        form.tile_length = form.tile_width;
        const std::string whole = orvane_test::read_file(write(form));
        const std::string path = dir + "/flipped.tif";
        for (int trial = 0; trial < 100; ++trial) {
            std::string bytes = whole;
            const int flips = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < flips; ++i)
                bytes[random() % bytes.size()] ^= static_cast<char>(1u << (random() % 8));
            orvane_test::write_file(path, bytes);
            try {
                const tile_pixels t = orvane::read_tiff_tile(path);
                EXPECT_EQ(t.pixels.size(), std::size_t{t.width} * t.height);
                const orvane::image tile = orvane::load_tile(path);
                EXPECT_EQ(tile.width(), t.width);
            } catch (const orvane::error&) {
            }
        }
    }
}

// Workers load tiles at the same time: errors of one file must not leak
// into another's read.
TEST_F(TileReader, ParallelReadsOfGoodAndBadFilesStayApart)
{
    tiff_form good;
    good.compression = 5;
    const std::string good_path = write(good);
    tiff_form bad;
    bad.bits = 12;
    const std::string bad_path = write(bad);
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (orvane::read_tiff_tile(good_path).pixels[5] !=
                    orvane_test::expected_pixel(good, 5, 0))
                    ++wrong[t];
                if (error_of(bad_path).empty())
                    ++wrong[t];
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
