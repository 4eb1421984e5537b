// The hand-made Blosc frames against the ones c-blosc writes for the same settings.
#include "io/blosc_chunk.hpp"

#include <blosc.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using orvane::sample_window;

// 16 bytes of header, the one block's start, the block's compressed size.
constexpr std::size_t frame_overhead = 16 + 4 + 4;

// Where the frames first differ, empty when they are the same bytes.
std::string difference(const std::vector<char>& own, const std::vector<char>& library)
{
    std::size_t at = 0;
    while (at < own.size() && at < library.size() && own[at] == library[at])
        ++at;
    if (at == own.size() && at == library.size())
        return "";
    std::ostringstream text;
    text << "sizes " << own.size() << " and " << library.size() << ", first difference at byte "
         << at;
    return text.str();
}

class BloscFrame : public ::testing::Test {
protected:
    // A plane of 1100 x 700 samples: a smooth ramp with a little noise, as a
    // microscope gives, or noise over all 16 bits, which no compressor shrinks.
    static constexpr std::int64_t plane_width = 1100;
    static constexpr std::int64_t plane_height = 700;
    std::vector<std::uint16_t> smooth, noise;

    void SetUp() override
    {
        std::mt19937 random(11);
        smooth.resize(static_cast<std::size_t>(plane_width * plane_height));
        noise.resize(smooth.size());
        for (std::int64_t y = 0; y < plane_height; ++y)
            for (std::int64_t x = 0; x < plane_width; ++x) {
                const auto at = static_cast<std::size_t>(y * plane_width + x);
                smooth[at] = static_cast<std::uint16_t>(1000 + 3 * x + 2 * y + random() % 8);
                noise[at] = static_cast<std::uint16_t>(random());
            }
    }

    // The part of the plane from (x, y) on that a width x height chunk
    // there covers, cut at the plane's edges.
    static sample_window window(const std::vector<std::uint16_t>& plane, std::int64_t x,
                                std::int64_t y, std::int64_t width, std::int64_t height)
    {
        return {plane.data() + y * plane_width + x, plane_width, std::min(width, plane_width - x),
                std::min(height, plane_height - y)};
    }

    // The chunk the window stands for: its samples, zeros past it.
    static std::vector<std::uint16_t> padded(const sample_window& part, std::int64_t width,
                                             std::int64_t height)
    {
        std::vector<std::uint16_t> chunk(static_cast<std::size_t>(width * height), 0);
        for (std::int64_t y = 0; y < part.rows; ++y)
            std::copy(part.first + y * part.stride, part.first + y * part.stride + part.columns,
                      chunk.begin() + y * width);
        return chunk;
    }

    static std::vector<char> own_frame(const sample_window& part, std::int64_t width,
                                       std::int64_t height, int hash_log)
    {
        std::vector<char> frame;
        orvane::compress_chunk(part, width, height, frame, "chunk", hash_log);
        return frame;
    }

    // c-blosc's frame: zstd at the same level, byte shuffle, 2-byte samples,
    // one block of the whole chunk. The room given is enough for the block
    // stored as it is; given only the customary 16 bytes more than the
    // samples, c-blosc stores a chunk it cannot shrink as a plain copy of the
    // unshuffled samples instead, a frame of another kind.
    static std::vector<char> library_frame(const std::vector<std::uint16_t>& chunk)
    {
        const std::size_t bytes = chunk.size() * sizeof(std::uint16_t);
        std::vector<char> frame(bytes + frame_overhead);
        const int size = blosc_compress_ctx(
            orvane::blosc_chunk_level, BLOSC_SHUFFLE, sizeof(std::uint16_t), bytes, chunk.data(),
            frame.data(), frame.size(), orvane::blosc_chunk_codec, bytes, 1);
        EXPECT_GT(size, 0);
        frame.resize(static_cast<std::size_t>(std::max(size, 0)));
        return frame;
    }

    static std::vector<std::uint16_t> decoded(const std::vector<char>& frame)
    {
        std::size_t size = 0, compressed = 0, block = 0;
        blosc_cbuffer_sizes(frame.data(), &size, &compressed, &block);
        EXPECT_EQ(compressed, frame.size());
        std::vector<std::uint16_t> samples(size / sizeof(std::uint16_t));
        EXPECT_EQ(blosc_decompress_ctx(frame.data(), samples.data(), size, 1),
                  static_cast<int>(size));
        return samples;
    }

    // With zstd's own hash table the frame is c-blosc's byte for byte. With
    // the table the volume uses only the zstd stream, and so the sizes that
    // count it, may differ: the header's settings and the block table match,
    // and c-blosc decodes the chunk.
    void expect_library_frame(const std::vector<std::uint16_t>& plane, std::int64_t x,
                              std::int64_t y, std::int64_t width, std::int64_t height)
    {
        SCOPED_TRACE(testing::Message()
                     << width << " x " << height << " chunk at (" << x << ", " << y << ")");
        const sample_window part = window(plane, x, y, width, height);
        const std::vector<std::uint16_t> chunk = padded(part, width, height);
        const std::vector<char> library = library_frame(chunk);
        EXPECT_EQ(
            difference(own_frame(part, width, height, orvane::zstd_default_hash_log), library), "");

        const std::vector<char> fast = own_frame(part, width, height, orvane::blosc_chunk_hash_log);
        ASSERT_GE(fast.size(), frame_overhead);
        EXPECT_EQ(
            difference({fast.begin(), fast.begin() + 12}, {library.begin(), library.begin() + 12}),
            "");
        EXPECT_EQ(difference({fast.begin() + 16, fast.begin() + 20},
                             {library.begin() + 16, library.begin() + 20}),
                  "");
        EXPECT_EQ(decoded(fast), chunk);
    }
};

// A chunk of a megabyte and a small one, for which zstd picks other tables.
TEST_F(BloscFrame, ACompressibleChunkIsCBloscsFrame)
{
    expect_library_frame(smooth, 0, 0, 1024, 512);
    expect_library_frame(smooth, 300, 200, 96, 64);
    // zstd shrank it: the compressed block is what was compared.
    EXPECT_LT(library_frame(padded(window(smooth, 0, 0, 1024, 512), 1024, 512)).size(),
              2u * 1024u * 512u * 3u / 4u);
}

// zstd cannot shrink noise over all 16 bits: the block is the shuffled
// samples as they are, and its size says so to a reader.
TEST_F(BloscFrame, AnIncompressibleChunkIsStoredShuffledAsCBloscStoresIt)
{
    expect_library_frame(noise, 0, 0, 512, 256);
    expect_library_frame(noise, 37, 11, 64, 33);
    EXPECT_EQ(
        own_frame(window(noise, 0, 0, 512, 256), 512, 256, orvane::blosc_chunk_hash_log).size(),
        frame_overhead + 2u * 512u * 256u);
}

// Chunks past the plane's right and bottom edges, their rows cut at widths
// that are no multiple of the vector width, are the zero-padded chunk's frame.
TEST_F(BloscFrame, AnEdgeChunkIsTheFrameOfItsZeroPaddedChunk)
{
    for (const auto* plane : {&smooth, &noise}) {
        expect_library_frame(*plane, 1024, 0, 256, 256);    // 76 columns
        expect_library_frame(*plane, 768, 512, 256, 256);   // 188 rows
        expect_library_frame(*plane, 1024, 512, 256, 256);  // 76 x 188
        expect_library_frame(*plane, 1097, 699, 64, 32);    // 3 x 1
    }
}

}  // namespace
