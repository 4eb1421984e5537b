// Blosc frames written here: the shuffle taken straight from the plane's rows, zstd called with a
// hash table sized for speed, and Blosc's header filled in as its format describes it.
#include "io/blosc_chunk.hpp"

#include "base/error.hpp"
#include "base/per_thread.hpp"

#include <zstd.h>

#include <cstring>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace orvane {

namespace {

// Blosc's header: format version 2 (every Blosc 1.x and 2.x reader's), the
// compressor's format version, flags, the sample size, then the uncompressed
// size, the block size and the frame's size, little-endian.
constexpr std::size_t header_size = blosc_header_size;
constexpr std::uint8_t blosc_format = 2;
constexpr std::uint8_t zstd_format = 1;
// Byte shuffle, blocks not split into one stream per byte, zstd (code 4 in
// the three high bits).
constexpr std::uint8_t frame_flags = 0x01 | 0x10 | (4 << 5);
// One block for the whole chunk: zstd runs nearly twice as fast over it as
// over the 32 KB blocks Blosc picks itself, and compresses a little better.
// The block's start (after the header and its one-entry table), then the
// block: its compressed size and its bytes.
constexpr std::size_t block_start = header_size + 4;
constexpr std::size_t payload_start = block_start + 4;

void put_u32(char* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// One row's low bytes to `low` and high bytes to `high`.
void shuffle_row(const std::uint16_t* in, std::int64_t count, std::uint8_t* low, std::uint8_t* high)
{
    std::int64_t x = 0;
#ifdef __SSE2__
    const __m128i mask = _mm_set1_epi16(0xff);
    for (; x + 16 <= count; x += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(low + x),
                         _mm_packus_epi16(_mm_and_si128(a, mask), _mm_and_si128(b, mask)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(high + x),
                         _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
    }
#endif
    for (; x < count; ++x) {
        low[x] = static_cast<std::uint8_t>(in[x] & 0xff);
        high[x] = static_cast<std::uint8_t>(in[x] >> 8);
    }
}

// The chunk's samples as Blosc's byte shuffle leaves them: every sample's low
// byte, then every sample's high byte, zeros past the window.
void shuffle_window(const sample_window& window, std::int64_t width, std::int64_t height,
                    std::uint8_t* shuffled)
{
    const auto count = static_cast<std::size_t>(width * height);
    std::uint8_t* const low = shuffled;
    std::uint8_t* const high = shuffled + count;
    for (std::int64_t y = 0; y < height; ++y) {
        const std::size_t at = static_cast<std::size_t>(y * width);
        std::int64_t filled = 0;
        if (y < window.rows) {
            filled = window.columns;
            shuffle_row(window.first + y * window.stride, filled, low + at, high + at);
        }
        std::memset(low + at + filled, 0, static_cast<std::size_t>(width - filled));
        std::memset(high + at + filled, 0, static_cast<std::size_t>(width - filled));
    }
}

// The calling thread's zstd context, set up once.
class zstd_context {
public:
    zstd_context() : context_(ZSTD_createCCtx())
    {
        if (context_ == nullptr)
            throw std::bad_alloc();
        ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, blosc_chunk_level);
    }
    ~zstd_context() { ZSTD_freeCCtx(context_); }
    zstd_context(const zstd_context&) = delete;
    zstd_context& operator=(const zstd_context&) = delete;

    ZSTD_CCtx* get() const { return context_; }

private:
    ZSTD_CCtx* context_;
};

}  // namespace

std::string blosc_chunk_damage(const char* header, std::uint64_t file_size,
                               std::size_t sample_bytes)
{
    if (file_size == 0)
        return "it is empty";
    if (file_size < header_size)
        return "it is shorter than a Blosc header";
    const auto u32 = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < 4; ++k)
            value |= static_cast<std::uint32_t>(static_cast<unsigned char>(header[at + k]))
                     << 8 * k;
        return value;
    };
    const auto sample_size = static_cast<unsigned char>(header[3]);
    if (sample_size != 2)
        return "its header gives samples of " + std::to_string(sample_size) + " bytes, not 2";
    if (u32(4) != sample_bytes)
        return "its header gives " + std::to_string(u32(4)) + " bytes of samples, not " +
               std::to_string(sample_bytes);
    if (u32(12) != file_size)
        return "its header gives a frame of " + std::to_string(u32(12)) + " bytes, the file has " +
               std::to_string(file_size);
    return "";
}

void compress_chunk(const sample_window& window, std::int64_t width, std::int64_t height,
                    std::vector<char>& out, const std::string& path, int zstd_hash_log)
{
    struct zstd_tag;
    auto& zstd = per_thread<zstd_tag, zstd_context>();
    // Taken by the next frame: a frame's parameters are fixed at its start.
    const std::size_t set = ZSTD_CCtx_setParameter(zstd.get(), ZSTD_c_hashLog, zstd_hash_log);
    if (ZSTD_isError(set))
        throw error(failure_kind::write, path,
                    std::string("zstd refused the hash log: ") + ZSTD_getErrorName(set));
    struct shuffled_tag;
    auto& shuffled = per_thread<shuffled_tag, std::vector<std::uint8_t>>();
    const auto bytes = static_cast<std::size_t>(width * height) * 2;
    shuffled.resize(bytes);
    shuffle_window(window, width, height, shuffled.data());

    out.resize(payload_start + ZSTD_compressBound(bytes));
    std::size_t block = ZSTD_compress2(zstd.get(), out.data() + payload_start,
                                       out.size() - payload_start, shuffled.data(), bytes);
    if (ZSTD_isError(block))
        throw error(failure_kind::write, path,
                    std::string("zstd could not compress the chunk: ") + ZSTD_getErrorName(block));
    // A block no smaller than its samples is stored as they are; a reader
    // knows it by its size.
    if (block >= bytes) {
        std::memcpy(out.data() + payload_start, shuffled.data(), bytes);
        block = bytes;
    }
    const std::size_t frame = payload_start + block;
    out.resize(frame);
    out[0] = static_cast<char>(blosc_format);
    out[1] = static_cast<char>(zstd_format);
    out[2] = static_cast<char>(frame_flags);
    out[3] = 2;  // bytes per sample
    put_u32(&out[4], static_cast<std::uint32_t>(bytes));
    put_u32(&out[8], static_cast<std::uint32_t>(bytes));  // one block: the whole chunk
    put_u32(&out[12], static_cast<std::uint32_t>(frame));
    put_u32(&out[header_size], static_cast<std::uint32_t>(block_start));
    put_u32(&out[block_start], static_cast<std::uint32_t>(block));
}

}  // namespace orvane
