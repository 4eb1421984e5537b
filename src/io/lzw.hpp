// LZW encoding of one TIFF strip, emitting the same code stream as libtiff's encoder.
#pragma once

#include "platform/huge_pages.hpp"

#include <cstddef>
#include <cstdint>

namespace orvane {

// Bytes that encoding n input bytes can take at most (codes of 12 bits, the
// clear codes the table resets add, end code and padding).
std::size_t lzw_encode_bound(std::size_t n);

// Encodes strips one after the other. The string table is indexed directly by
// (next byte, prefix code), so finding a string is one load instead of a hash
// probe sequence; it is 2 MiB, so keep one encoder per thread and reuse it.
class lzw_encoder {
public:
    lzw_encoder();
    ~lzw_encoder();
    lzw_encoder(const lzw_encoder&) = delete;
    lzw_encoder& operator=(const lzw_encoder&) = delete;

    // Encodes in[0..n) as one self-contained strip into out, which must hold
    // lzw_encode_bound(n) bytes; returns the number of bytes written.
    std::size_t encode(const std::uint8_t* in, std::size_t n, std::uint8_t* out);

private:
    // Starts a new, empty table: the next generation of tags, wiping the
    // table only when the tags run out.
    void next_generation();

    // child_[byte * 4096 + prefix] is (generation << 12) | code for strings of
    // the live table. Entries of earlier tables carry older tags and read as
    // absent, so emptying the table at a reset or a new strip costs nothing.
    huge_array<std::uint16_t> child_;
    unsigned generation_ = 0;  // 1..15 while encoding; 0 is never live
};

// The calling thread's encoder, made on first use.
lzw_encoder& thread_lzw_encoder();

// Decodes one TIFF LZW strip (MSB-first codes, libtiff's early width change)
// into out[0..out_size) when the stream is plainly well formed: it opens with
// a clear code, every code is one the table holds or the next it will hold,
// no string runs past out_size, and the output is filled exactly, at an end
// code or before one. Anything else gives false, with out partly written;
// the caller then leaves the strip to libtiff, which decides whether it
// recovers or fails. Never reads in[n] or writes past out_size.
bool lzw_decode(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t out_size);

}  // namespace orvane
