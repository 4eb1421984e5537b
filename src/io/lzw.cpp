// LZW strip encoder: greedy longest match, 9 to 12 bit codes, libtiff's reset rules.
#include "io/lzw.hpp"

#include "base/per_thread.hpp"

#include <algorithm>
#include <cstring>

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

}  // namespace

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
    struct encoder_tag;
    auto& encoder = per_thread<encoder_tag, lzw_encoder>();
    return encoder;
}

bool lzw_decode(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t out_size)
{
    // Every string of the table is a run of the output already written: the
    // string a code adds is the previous string and the first byte after it,
    // so it is kept as that run's start and length, not as a chain.
    struct run {
        std::uint32_t start;
        std::uint32_t length;
    };
    run table[table_codes];

    std::uint64_t bit_buffer = 0;  // the low bit_count bits are the next, first bit highest
    unsigned bit_count = 0;
    std::size_t in_at = 0;
    // The next code, or false once the input cannot hold a whole one.
    auto next_code = [&](unsigned width, unsigned& code) {
        if (bit_count < width) {
            if (n - in_at >= 4) {
                const std::uint32_t word = std::uint32_t{in[in_at]} << 24 |
                                           std::uint32_t{in[in_at + 1]} << 16 |
                                           std::uint32_t{in[in_at + 2]} << 8 | in[in_at + 3];
                bit_buffer = (bit_buffer << 32) | word;
                bit_count += 32;
                in_at += 4;
            } else {
                while (bit_count < width) {
                    if (in_at == n)
                        return false;
                    bit_buffer = (bit_buffer << 8) | in[in_at++];
                    bit_count += 8;
                }
            }
        }
        bit_count -= width;
        code = static_cast<unsigned>(bit_buffer >> bit_count) & max_code(width);
        return true;
    };

    unsigned code = 0;
    if (!next_code(bits_min, code) || code != code_clear)
        return false;
    std::size_t at = 0;
    while (at < out_size) {
        // A new table: its first code stands for one byte and adds nothing.
        unsigned width = bits_min;
        unsigned free_ent = code_first;
        do {
            if (!next_code(width, code))
                return false;
        } while (code == code_clear);
        if (code > 255)
            return false;  // the end code, or a code no table holds yet
        std::size_t previous_start = at;
        std::size_t previous_length = 1;
        out[at++] = static_cast<std::uint8_t>(code);

        while (at < out_size) {
            if (!next_code(width, code))
                return false;
            // The code's string: a run of the table, one byte, or (the code
            // about to be added) the previous string and its own first byte.
            std::size_t from = 0, length = 1;
            if (code < free_ent) {
                if (code >= code_first) {
                    from = table[code].start;
                    length = table[code].length;
                } else if (code == code_clear) {
                    break;
                } else if (code == code_eoi) {
                    return false;  // ends before the output is full
                }
            } else if (code == free_ent && free_ent < table_codes) {
                from = previous_start;
                length = previous_length + 1;
            } else {
                return false;
            }
            if (length > out_size - at)
                return false;
            if (code < 256) {
                out[at] = static_cast<std::uint8_t>(code);
            } else if (length <= 16 && from + 16 <= at && out_size - at >= 16) {
                // Short and well apart, as most are: one fixed-size copy (the
                // bytes past the string are written again by the strings after).
                std::memcpy(out + at, out + from, 16);
            } else {
                // Forward, byte by byte: the newest code's run ends where it is written.
                for (std::size_t k = 0; k < length; ++k)
                    out[at + k] = out[from + k];
            }
            if (free_ent >= table_codes)
                return false;
            table[free_ent] = {static_cast<std::uint32_t>(previous_start),
                               static_cast<std::uint32_t>(previous_length + 1)};
            ++free_ent;
            // The early change, as libtiff's decoder makes it.
            if (free_ent > max_code(width) - 1 && width < 12)
                ++width;
            previous_start = at;
            previous_length = length;
            at += length;
        }
    }
    return true;
}

}  // namespace orvane
