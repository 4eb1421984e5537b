// LZW strip encoder: greedy longest match, 9 to 12 bit codes, libtiff's reset rules.
#include "slice/lzw.hpp"

#include <algorithm>

namespace orvane {

namespace {

constexpr unsigned code_clear = 256;
constexpr unsigned code_eoi = 257;
constexpr unsigned code_first = 258;
constexpr unsigned bits_min = 9;
// libtiff resets when the next free entry reaches 4094, so the 12-bit table
// never holds its last two codes; decoders expect the clear code there.
constexpr unsigned code_reset = 4094;
constexpr unsigned table_codes = 4096;
// The compression ratio is checked every this many input bytes.
constexpr std::size_t check_gap = 10000;

constexpr unsigned max_code(unsigned bits) { return (1u << bits) - 1; }

// Packs codes MSB-first. Whole 32-bit words leave the accumulator at once, so
// most codes cost no store at all.
struct bit_writer {
    std::uint8_t* out;
    std::uint64_t acc = 0;
    unsigned bits = 0;

    void put(unsigned code, unsigned width)
    {
        acc = (acc << width) | code;
        bits += width;
        if (bits >= 32) {
            bits -= 32;
            const auto word = static_cast<std::uint32_t>(acc >> bits);
            out[0] = static_cast<std::uint8_t>(word >> 24);
            out[1] = static_cast<std::uint8_t>(word >> 16);
            out[2] = static_cast<std::uint8_t>(word >> 8);
            out[3] = static_cast<std::uint8_t>(word);
            out += 4;
        }
    }

    // Writes what is left, the last byte padded with zero bits.
    void finish()
    {
        while (bits >= 8) {
            bits -= 8;
            *out++ = static_cast<std::uint8_t>(acc >> bits);
        }
        if (bits > 0)
            *out++ = static_cast<std::uint8_t>(acc << (8 - bits));
        bits = 0;
    }
};

} // namespace

std::size_t lzw_encode_bound(std::size_t n)
{
    // At most one code per input byte plus one clear code per 3836 codes or
    // per 10000 bytes, each 12 bits, and a few codes at the ends; the 4-byte
    // word stores need no slack beyond that.
    return n + n / 2 + n / 512 + 64;
}

lzw_encoder::lzw_encoder() : child_(make_huge_array<std::uint16_t>(table_codes * 256))
{
    std::fill(child_.get(), child_.get() + table_codes * 256, std::uint16_t{0});
}

lzw_encoder::~lzw_encoder() = default;

void lzw_encoder::next_generation()
{
    // Four tag bits above the 12-bit code: one wipe of the 2 MiB every 15
    // tables replaces clearing each table's few thousand scattered slots and
    // the list of them.
    if (++generation_ == 16) {
        std::fill(child_.get(), child_.get() + table_codes * 256, std::uint16_t{0});
        generation_ = 1;
    }
}

std::size_t lzw_encoder::encode(const std::uint8_t* in, std::size_t n, std::uint8_t* out)
{
    bit_writer writer{out};
    std::uint16_t* const child = child_.get();

    if (n == 0) {
        writer.put(code_eoi, bits_min);
        writer.finish();
        return static_cast<std::size_t>(writer.out - out);
    }

    next_generation();
    unsigned tag = generation_ << 12;
    unsigned nbits = bits_min;
    unsigned maxcode = max_code(bits_min);
    unsigned free_ent = code_first;
    // Input bytes and output bits since the last reset, as libtiff counts them
    // for its ratio test; the input count is kept as the position of the reset.
    std::size_t reset_at = 0;
    std::size_t outcount = 0;
    std::size_t checkpoint = check_gap;
    std::size_t ratio = 0;

    // A reset emits the clear code in the current width, and that code counts
    // as the first output of the new period.
    auto reset = [&](std::size_t position) {
        next_generation();
        tag = generation_ << 12;
        ratio = 0;
        reset_at = position;
        writer.put(code_clear, nbits);
        outcount = nbits;
        free_ent = code_first;
        nbits = bits_min;
        maxcode = max_code(bits_min);
    };

    writer.put(code_clear, nbits);
    outcount = nbits;
    unsigned ent = in[0];
    std::size_t i = 1;
    while (i < n) {
        const unsigned c = in[i++];
        // Byte-major: the strings extended by the frequent bytes of 16-bit
        // data (the nearly constant high bytes) share few cache lines.
        const std::uint32_t slot = (c << 12) | ent;
        // An entry of another generation (or none, 0) wraps far past 4096.
        const unsigned next = static_cast<unsigned>(child[slot]) - tag;
        if (next < table_codes) {
            ent = next;
            continue;
        }
        writer.put(ent, nbits);
        outcount += nbits;
        child[slot] = static_cast<std::uint16_t>(tag | free_ent);
        ++free_ent;
        ent = c;
        if (free_ent == code_reset) {
            reset(i);
        } else if (free_ent > maxcode) {
            // The early change: the width grows as soon as the next code
            // would not fit, one code before a decoder strictly needs it.
            ++nbits;
            maxcode = max_code(nbits);
        } else if (i - reset_at >= checkpoint) {
            // The next checkpoint counts from the bytes seen before a reset
            // this test may cause, not from zero.
            const std::size_t incount = i - reset_at;
            checkpoint = incount + check_gap;
            std::size_t rat;
            if (incount > 0x7fffff) {
                const std::size_t scaled = outcount >> 8;
                rat = scaled == 0 ? 0x7fffffff : incount / scaled;
            } else {
                rat = (incount << 8) / outcount;
            }
            if (rat <= ratio)
                reset(i);
            else
                ratio = rat;
        }
    }

    // The pending string, then the width (or a reset) as if it had added an
    // entry, then the end code in that width.
    writer.put(ent, nbits);
    ++free_ent;
    if (free_ent == code_reset) {
        writer.put(code_clear, nbits);
        nbits = bits_min;
    } else if (free_ent > maxcode) {
        ++nbits;
    }
    writer.put(code_eoi, nbits);
    writer.finish();
    return static_cast<std::size_t>(writer.out - out);
}

lzw_encoder& thread_lzw_encoder()
{
    thread_local lzw_encoder encoder;
    return encoder;
}

} // namespace orvane
