// The LZW encoder and decoder against libtiff's own.
#include "io/lzw.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

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
    unsigned since_clear = 0;  // codes after the last clear
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
    for (std::size_t size :
         {1u,    2u,    3u,    4u,    5u,     17u,    254u,   255u,  256u,  257u,
          300u,  511u,  512u,  513u,  1021u,  1022u,  1023u,  2046u, 2047u, 4093u,
          4094u, 4095u, 8192u, 9999u, 10000u, 10001u, 16384u, 40000u}) {
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
        expect_same_as_libtiff(samples(count, level, spread), "level " + std::to_string(level) +
                                                                  " spread " +
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
    for (std::size_t size :
         {253u, 254u, 255u, 765u, 766u, 767u, 1789u, 1790u, 1791u, 3835u, 3836u, 3837u, 7672u})
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
    static std::optional<std::vector<std::uint8_t>>
    own_unlzw(const std::vector<std::uint8_t>& stream, std::size_t size)
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
        noise(1),
        noise(2),
        noise(3),
        noise(40000),                         // resets for a full table
        std::vector<std::uint8_t>(20000, 0),  // strings thousands long
        samples(30000, 110, 12),
        samples(5000, 3000, 800)};
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

}  // namespace
