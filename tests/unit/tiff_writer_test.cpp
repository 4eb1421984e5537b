// The strip writer and its LZW encoder against the image library's writer and libtiff's encoder.
#include "slice/image.hpp"
#include "slice/lzw.hpp"
#include "slice/tiff_writer.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using orvane::image;

namespace {

// ---- The encoder against libtiff's own -------------------------------------

// One 8-bit row of width bytes as a single LZW strip.
void set_lzw_row(TIFF* tif, std::size_t width)
{
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 1);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1);
}

// libtiff's LZW encoding of bytes: one 8-bit row written as a single strip,
// then read back raw.
std::vector<std::uint8_t> libtiff_lzw(const std::vector<std::uint8_t>& bytes,
                                      const std::string& dir)
{
    const std::string path = dir + "/reference.tif";
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    if (!tif)
        return {};
    set_lzw_row(tif, bytes.size());
    EXPECT_EQ(TIFFWriteEncodedStrip(tif, 0, const_cast<std::uint8_t*>(bytes.data()),
                                    static_cast<tmsize_t>(bytes.size())),
              static_cast<tmsize_t>(bytes.size()));
    TIFFClose(tif);
    tif = TIFFOpen(path.c_str(), "r");
    EXPECT_NE(tif, nullptr);
    if (!tif)
        return {};
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(TIFFRawStripSize(tif, 0)));
    TIFFReadRawStrip(tif, 0, raw.data(), static_cast<tmsize_t>(raw.size()));
    TIFFClose(tif);
    return raw;
}

std::vector<std::uint8_t> own_lzw(const std::vector<std::uint8_t>& bytes)
{
    std::vector<std::uint8_t> out(orvane::lzw_encode_bound(bytes.size()));
    out.resize(orvane::thread_lzw_encoder().encode(bytes.data(), bytes.size(), out.data()));
    return out;
}

// How a code stream reset its table: when it was full, or earlier because the
// compression ratio fell. Reads codes with the same width rule as a decoder.
struct clear_counts {
    int full = 0;
    int early = 0;
};

clear_counts count_clears(const std::vector<std::uint8_t>& stream)
{
    clear_counts counts;
    std::size_t bit = 0;
    unsigned width = 9;
    unsigned since_clear = 0; // codes after the last clear
    bool first = true;
    while (bit + width <= stream.size() * 8) {
        unsigned code = 0;
        for (unsigned k = 0; k < width; ++k, ++bit)
            code = (code << 1) | ((stream[bit / 8] >> (7 - bit % 8)) & 1u);
        if (code == 257)
            break;
        if (code == 256) {
            if (!first)
                ++(258 + since_clear == 4094 ? counts.full : counts.early);
            first = false;
            since_clear = 0;
            width = 9;
            continue;
        }
        ++since_clear;
        while (258 + since_clear > (1u << width) - 1 && width < 12)
            ++width;
    }
    return counts;
}

class LzwEncoder : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();
    std::mt19937 random{7};

    void expect_same_as_libtiff(const std::vector<std::uint8_t>& bytes, const std::string& what)
    {
        const auto expected = libtiff_lzw(bytes, dir);
        const auto actual = own_lzw(bytes);
        ASSERT_EQ(actual.size(), expected.size()) << what << ", " << bytes.size() << " bytes";
        const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
        EXPECT_TRUE(mismatch.first == actual.end())
            << what << ": first difference at byte " << (mismatch.first - actual.begin());
    }

    // 16-bit little-endian samples around a level, like a dim detector background.
    std::vector<std::uint8_t> samples(std::size_t count, int level, int spread)
    {
        std::normal_distribution<double> noise(level, spread);
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < count; ++i) {
            const auto v = static_cast<std::uint16_t>(std::clamp(noise(random), 0.0, 65535.0));
            bytes.push_back(static_cast<std::uint8_t>(v));
            bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        }
        return bytes;
    }

    std::vector<std::uint8_t> noise(std::size_t count)
    {
        std::vector<std::uint8_t> bytes(count);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random());
        return bytes;
    }
};

// Width changes, the first code and the last code's width are where an
// encoder most easily goes one code off.
TEST_F(LzwEncoder, MatchesLibtiffOnManySizesAndAlphabets)
{
    for (std::size_t size : {1u, 2u, 3u, 4u, 5u, 17u, 254u, 255u, 256u, 257u, 300u, 511u, 512u,
                             513u, 1021u, 1022u, 1023u, 2046u, 2047u, 4093u, 4094u, 4095u, 8192u,
                             9999u, 10000u, 10001u, 16384u, 40000u}) {
        for (unsigned alphabet : {1u, 2u, 5u, 40u, 256u}) {
            std::vector<std::uint8_t> bytes(size);
            for (auto& b : bytes)
                b = static_cast<std::uint8_t>(random() % alphabet);
            expect_same_as_libtiff(bytes, "alphabet " + std::to_string(alphabet));
        }
    }
}

TEST_F(LzwEncoder, MatchesLibtiffOnSixteenBitSamples)
{
    for (int trial = 0; trial < 30; ++trial) {
        const std::size_t count = 1 + random() % 30000;
        const int level = static_cast<int>(random() % 60000);
        const int spread = 1 + static_cast<int>(random() % 400);
        expect_same_as_libtiff(samples(count, level, spread),
                               "level " + std::to_string(level) + " spread " +
                                   std::to_string(spread));
    }
}

// A table that fills up must be cleared at entry 4094 and the ratio check
// must clear it when noise follows well-compressed data; both resets, and
// the checkpoint carried over them, must land where libtiff puts them.
TEST_F(LzwEncoder, MatchesLibtiffAcrossBothKindsOfTableReset)
{
    std::vector<std::uint8_t> bytes;
    for (int block = 0; block < 6; ++block) {
        const std::vector<std::uint8_t> run(25000 + 7000 * block, static_cast<std::uint8_t>(block));
        bytes.insert(bytes.end(), run.begin(), run.end());
        const auto mixed = samples(20000, 1000 * block, 3);
        bytes.insert(bytes.end(), mixed.begin(), mixed.end());
        const auto random_bytes = noise(30000);
        bytes.insert(bytes.end(), random_bytes.begin(), random_bytes.end());
    }
    const auto expected = libtiff_lzw(bytes, dir);
    const clear_counts clears = count_clears(expected);
    EXPECT_GT(clears.full, 0) << "the data never fills the table";
    EXPECT_GT(clears.early, 0) << "the data never triggers the ratio reset";
    expect_same_as_libtiff(bytes, "runs, samples and noise");
}

// A byte sequence in which no two adjacent bytes repeat as a pair (a prefix
// of a de Bruijn sequence), so every byte after the first emits one code and
// the table fills at a known length.
void de_bruijn(unsigned t, unsigned p, std::vector<unsigned>& a, std::vector<std::uint8_t>& out)
{
    if (t > 2) {
        if (2 % p == 0)
            for (unsigned j = 1; j <= p; ++j)
                out.push_back(static_cast<std::uint8_t>(a[j]));
        return;
    }
    a[t] = a[t - p];
    de_bruijn(t + 1, p, a, out);
    for (unsigned j = a[t - p] + 1; j < 256; ++j) {
        a[t] = j;
        de_bruijn(t + 1, t, a, out);
    }
}

// The code pending at the end still changes the width, or fills the table
// and needs a clear code, before the end code: n bytes emit n codes, so the
// lengths 254, 766 and 1790 reach a new width and 3836 the full table.
TEST_F(LzwEncoder, MatchesLibtiffWhenTheLastCodeChangesWidthOrFillsTheTable)
{
    std::vector<unsigned> a(3, 0);
    std::vector<std::uint8_t> pairs_once;
    de_bruijn(1, 1, a, pairs_once);
    ASSERT_EQ(pairs_once.size(), 65536u);
    for (std::size_t size : {253u, 254u, 255u, 765u, 766u, 767u, 1789u, 1790u, 1791u, 3835u,
                             3836u, 3837u, 7672u})
        expect_same_as_libtiff({pairs_once.begin(), pairs_once.begin() + static_cast<long>(size)},
                               "distinct pairs, " + std::to_string(size));
}

TEST_F(LzwEncoder, LeavesTheTableCleanForTheNextStrip)
{
    const auto first = noise(50000);
    const auto second = samples(4000, 300, 10);
    own_lzw(first);
    expect_same_as_libtiff(second, "strip after a long one");
}

TEST_F(LzwEncoder, LaterTablesNeverSeeEntriesOfEarlierOnes)
{
    // Tables are emptied lazily, so strings of every earlier table and strip
    // linger in memory. Strips with the same strings, separated by every
    // number of short strips (each a table of its own), must still match.
    const auto strings = samples(6000, 300, 10);
    const std::vector<std::uint8_t> tiny(7, 42);
    for (int gap = 0; gap < 40; ++gap) {
        own_lzw(strings);
        for (int k = 0; k < gap; ++k)
            own_lzw(tiny);
        expect_same_as_libtiff(strings, "after " + std::to_string(gap) + " short strips");
    }
}

// ---- The decoder against libtiff's -----------------------------------------

// libtiff's decoding of a raw stream as one 8-bit strip of size bytes; empty
// when libtiff finds it damaged.
std::optional<std::vector<std::uint8_t>> libtiff_unlzw(const std::vector<std::uint8_t>& stream,
                                                       std::size_t size, const std::string& dir)
{
    const std::string path = dir + "/raw.tif";
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        return std::nullopt;
    set_lzw_row(tif, size);
    TIFFWriteRawStrip(tif, 0, const_cast<std::uint8_t*>(stream.data()),
                      static_cast<tmsize_t>(stream.size()));
    TIFFClose(tif);
    tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return std::nullopt;
    std::vector<std::uint8_t> out(size);
    const tmsize_t got = TIFFReadEncodedStrip(tif, 0, out.data(), static_cast<tmsize_t>(size));
    TIFFClose(tif);
    if (got != static_cast<tmsize_t>(size))
        return std::nullopt;
    return out;
}

class LzwDecoder : public LzwEncoder {
protected:
    static void SetUpTestSuite()
    {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    }

    // Decoded into a buffer of exactly size bytes, so that a write past it
    // shows under the address sanitizer.
    static std::optional<std::vector<std::uint8_t>> own_unlzw(
        const std::vector<std::uint8_t>& stream, std::size_t size)
    {
        std::vector<std::uint8_t> out(size);
        if (!orvane::lzw_decode(stream.data(), stream.size(), out.data(), size))
            return std::nullopt;
        return out;
    }
};

TEST_F(LzwDecoder, GivesBackWhatEitherEncoderWrote)
{
    std::vector<std::vector<std::uint8_t>> inputs{
        noise(1), noise(2), noise(3), noise(40000),              // resets for a full table
        std::vector<std::uint8_t>(20000, 0),                     // strings thousands long
        samples(30000, 110, 12), samples(5000, 3000, 800)};
    std::vector<std::uint8_t> pattern;
    for (int i = 0; i < 9000; ++i)
        pattern.push_back(static_cast<std::uint8_t>(i % 7 == 0 ? 200 : i % 3));
    inputs.push_back(pattern);
    for (const auto& bytes : inputs) {
        EXPECT_EQ(own_unlzw(own_lzw(bytes), bytes.size()), bytes) << bytes.size() << " bytes";
        EXPECT_EQ(own_unlzw(libtiff_lzw(bytes, dir), bytes.size()), bytes)
            << bytes.size() << " bytes from libtiff";
    }
}

// A damaged strip is either left to libtiff (false) or decodes exactly as
// libtiff decodes it: the reader then gives the same pixels as before.
TEST_F(LzwDecoder, DamagedStreamsDecodeAsLibtiffDoesOrAreLeftToIt)
{
    const auto bytes = samples(1500, 110, 12);
    const auto stream = own_lzw(bytes);
    int decoded = 0, left = 0;
    auto check = [&](const std::vector<std::uint8_t>& damaged, std::size_t size,
                     const std::string& what) {
        const auto own = own_unlzw(damaged, size);
        if (!own) {
            ++left;
            return;
        }
        ++decoded;
        EXPECT_EQ(own, libtiff_unlzw(damaged, size, dir)) << what;
    };
    for (std::size_t cut = 0; cut <= stream.size(); cut += 7)
        check(std::vector<std::uint8_t>(stream.begin(), stream.begin() + cut), bytes.size(),
              "cut at " + std::to_string(cut));
    std::uniform_int_distribution<std::size_t> bit(0, stream.size() * 8 - 1);
    for (int flip = 0; flip < 300; ++flip) {
        auto damaged = stream;
        const std::size_t at = bit(random);
        damaged[at / 8] ^= static_cast<std::uint8_t>(0x80 >> (at % 8));
        check(damaged, bytes.size(), "bit " + std::to_string(at) + " flipped");
    }
    // Asked for fewer bytes than the stream holds, both stop when full;
    // asked for more, both refuse.
    check(stream, bytes.size() / 2, "half the output");
    EXPECT_FALSE(own_unlzw(stream, bytes.size() + 1));
    EXPECT_FALSE(libtiff_unlzw(stream, bytes.size() + 1, dir));
    EXPECT_GT(decoded, 20);
    EXPECT_GT(left, 20);
}

// ---- Whole files against the image library's writer ------------------------

enum class content { zero, full, noise, gradient, microscopy, runs_then_noise };

const char* name(content c)
{
    switch (c) {
    case content::zero: return "zero";
    case content::full: return "65535";
    case content::noise: return "noise";
    case content::gradient: return "gradient";
    case content::microscopy: return "microscopy";
    case content::runs_then_noise: return "runs then noise";
    }
    return "?";
}

image make_image(std::uint32_t width, std::uint32_t height, content kind, unsigned seed)
{
    image img(width, height, 1, 1, 0);
    std::mt19937 random(seed);
    std::normal_distribution<double> background(110.0, 12.0);
    const double cx = width * 0.4, cy = height * 0.6, radius = 1 + (width + height) / 6.0;
    cimg_forXY(img, x, y)
    {
        double v = 0;
        switch (kind) {
        case content::zero: v = 0; break;
        case content::full: v = 65535; break;
        case content::noise: v = static_cast<double>(random() & 0xffff); break;
        case content::gradient: v = 7.0 * x + 13.0 * y; break;
        case content::microscopy: {
            const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            v = background(random) + 3000.0 * std::exp(-d2 / (2 * radius * radius));
            break;
        }
        case content::runs_then_noise:
            v = y < static_cast<int>(height / 2) ? (x / 512) * 100
                                                 : static_cast<double>(random() & 0xffff);
            break;
        }
        img(x, y) = static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0));
    }
    return img;
}

class TiffWriter : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();

    void expect_same_as_library(const image& img, const std::string& what,
                                const orvane::tiff_write_options& options = {})
    {
        const std::string expected_path = dir + "/library.tif";
        const std::string actual_path = dir + "/own.tif";
        img.save_tiff(expected_path.c_str(), 1, nullptr, nullptr, true);
        orvane::write_tiff(actual_path, img.data(), img.width(), img.height(), options);
        const std::string expected = orvane_test::read_file(expected_path);
        const std::string actual = orvane_test::read_file(actual_path);
        ASSERT_EQ(actual.size(), expected.size()) << what;
        const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
        EXPECT_TRUE(mismatch.first == actual.end())
            << what << ": first difference at byte " << (mismatch.first - actual.begin());
    }
};

struct image_size {
    std::uint32_t width;
    std::uint32_t height;
};

// One row per strip (width >= 4096), strips taller than the image, a short
// last strip, single pixels and odd sizes.
const image_size sizes[] = {{1, 1},    {1, 9},    {3, 2},     {7, 1},   {17, 500},
                            {333, 101}, {1000, 77}, {2047, 7}, {2048, 5}, {2049, 3},
                            {4095, 4}, {4096, 3}, {4097, 2},  {6001, 3}};

TEST_F(TiffWriter, FilesMatchTheLibraryForEverySizeAndContent)
{
    unsigned seed = 1;
    for (const auto& size : sizes)
        for (content kind : {content::zero, content::full, content::noise, content::gradient,
                             content::microscopy, content::runs_then_noise})
            expect_same_as_library(make_image(size.width, size.height, kind, seed++),
                                   std::to_string(size.width) + "x" +
                                       std::to_string(size.height) + " " + name(kind));
}

// Strips encoded on several threads must still be written in order.
TEST_F(TiffWriter, ParallelEncodingGivesTheSameFile)
{
    const image img = make_image(1500, 700, content::microscopy, 3);
    expect_same_as_library(img, "2 threads", {2, false});
    expect_same_as_library(img, "3 threads, synced", {3, true});
    // From inside a parallel region the strips become tasks of that team.
#pragma omp parallel num_threads(2)
    {
#pragma omp single
        {
            const std::string path = dir + "/nested.tif";
            orvane::write_tiff(path, img.data(), img.width(), img.height(), {2, false});
        }
    }
    EXPECT_EQ(orvane_test::read_file(dir + "/nested.tif"),
              orvane_test::read_file(dir + "/library.tif"));
}

// A file handed back open must already be whole on disk (nothing left in
// a buffer), before any sync and while a sync started early runs.
TEST_F(TiffWriter, AFileHandedBackOpenIsAlreadyComplete)
{
    const image img = make_image(3000, 400, content::microscopy, 8);
    expect_same_as_library(img, "reference");
    const std::string expected = orvane_test::read_file(dir + "/library.tif");
    for (int threads : {1, 2}) {
        const std::string path = dir + "/open" + std::to_string(threads) + ".tif";
        orvane::unsynced_file file =
            orvane::write_tiff_unsynced(path, img.data(), img.width(), img.height(), {threads, false});
        EXPECT_EQ(orvane_test::read_file(path), expected) << threads << " threads, open";
        file.start_sync();
        EXPECT_EQ(orvane_test::read_file(path), expected) << threads << " threads, syncing";
        file.close(true);
        EXPECT_EQ(orvane_test::read_file(path), expected) << threads << " threads, closed";
    }
}

TEST_F(TiffWriter, LibtiffReadsBackThePixels)
{
    const image img = make_image(900, 31, content::microscopy, 5);
    orvane::write_tiff(dir + "/a.tif", img.data(), img.width(), img.height());
    const auto back = orvane_test::read_tiff(dir + "/a.tif");
    EXPECT_EQ(back.compression, COMPRESSION_LZW);
    ASSERT_EQ(back.pixels.size(), img.size());
    EXPECT_TRUE(std::equal(back.pixels.begin(), back.pixels.end(), img.data()));
}

TEST_F(TiffWriter, AnEmptyImageGivesAnEmptyFile)
{
    orvane_test::write_file(dir + "/e.tif", "old contents");
    orvane::write_tiff(dir + "/e.tif", nullptr, 0, 5);
    EXPECT_EQ(orvane_test::read_file(dir + "/e.tif"), "");
    orvane::write_tiff(dir + "/f.tif", nullptr, 5, 0);
    struct stat status {};
    ASSERT_EQ(::stat((dir + "/f.tif").c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 0);
}

TEST(BigTiff, FromTwoGibibytesOfPixelData)
{
    EXPECT_FALSE(orvane::needs_bigtiff(32768, 32767));
    EXPECT_TRUE(orvane::needs_bigtiff(32768, 32768)); // exactly 2^31 bytes
    EXPECT_FALSE(orvane::needs_bigtiff(46341, 23170));
    EXPECT_TRUE(orvane::needs_bigtiff(65536, 16384));
    EXPECT_TRUE(orvane::needs_bigtiff(4294967295u, 4294967295u)); // no 32-bit overflow
    EXPECT_FALSE(orvane::needs_bigtiff(0, 4294967295u));
}

// ---- Failures --------------------------------------------------------------

class TiffWriterFailure : public TiffWriter {
protected:
    // Runs write_tiff in a child limited to file_limit bytes per file (with
    // SIGXFSZ ignored, so writes fail instead of killing it) and returns what
    // it threw, or "no error" / "other error".
    std::string write_under_limit(const std::string& path, const image& img, rlim_t file_limit)
    {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0)
            return "no pipe";
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(pipe_fds[0]);
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{file_limit, file_limit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            std::string message = "no error";
            try {
                orvane::write_tiff(path, img.data(), img.width(), img.height());
            } catch (const std::runtime_error& e) {
                message = e.what();
            } catch (...) {
                message = "other error";
            }
            const ssize_t written = ::write(pipe_fds[1], message.data(), message.size());
            ::_exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
        }
        ::close(pipe_fds[1]);
        std::string message;
        char buffer[256];
        ssize_t n;
        while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0)
            message.append(buffer, static_cast<std::size_t>(n));
        ::close(pipe_fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child crashed";
        return message;
    }
};

TEST_F(TiffWriterFailure, AFullFileDuringTheStripsThrowsNamingThePath)
{
    const image img = make_image(1024, 256, content::noise, 11);
    const std::string path = dir + "/limited.tif";
    const std::string message = write_under_limit(path, img, 64 * 1024);
    EXPECT_NE(message.find("cannot write '" + path + "'"), std::string::npos) << message;
    EXPECT_NE(message.find("File too large"), std::string::npos) << message;
}

// The image library ignores a failed directory write and leaves an
// unreadable file behind; here it must throw.
TEST_F(TiffWriterFailure, AFullFileAtTheDirectoryThrows)
{
    const image img = make_image(512, 64, content::microscopy, 12);
    const std::string path = dir + "/dir_limited.tif";
    orvane::write_tiff(path, img.data(), img.width(), img.height());
    // Classic TIFF, little-endian: the directory's offset is at byte 4, right
    // after the strips.
    const std::string whole = orvane_test::read_file(path);
    ASSERT_GE(whole.size(), 8u);
    std::uint32_t directory_offset = 0;
    std::memcpy(&directory_offset, whole.data() + 4, 4);
    ASSERT_LT(directory_offset, whole.size());
    const std::string message = write_under_limit(path, img, directory_offset);
    EXPECT_NE(message.find("directory of '" + path + "'"), std::string::npos) << message;
}

TEST_F(TiffWriterFailure, AMissingDirectoryThrowsNamingThePath)
{
    const image img = make_image(10, 10, content::gradient, 1);
    const std::string path = dir + "/no/such/dir/x.tif";
    try {
        orvane::write_tiff(path, img.data(), img.width(), img.height());
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot create '" + path + "': No such file or directory");
    }
    EXPECT_THROW(orvane::write_tiff(path, nullptr, 0, 0), std::runtime_error);
    EXPECT_THROW(orvane::write_tiff(dir, img.data(), img.width(), img.height()),
                 std::runtime_error); // a directory is in the way
}

} // namespace
