// LZW encoding of one TIFF strip, emitting the same code stream as libtiff's encoder.
#pragma once

#include "slice/huge_pages.hpp"

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

} // namespace orvane
