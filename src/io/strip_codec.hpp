// How the writer compresses strips: one codec chosen per file, LZW the only one for now.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

// A strip compression: the TIFF Compression tag it writes, the most bytes a
// strip of n bytes can take once encoded, and the encoder. encode writes one
// self-contained strip into out (bound(n) bytes) and returns its length; it
// may be called from many threads at once and throws the project's error
// when it cannot get memory.
struct strip_codec {
    std::uint16_t compression_tag;
    std::size_t (*bound)(std::size_t n);
    std::size_t (*encode)(const std::uint8_t* in, std::size_t n, std::uint8_t* out);
};

// LZW with libtiff's exact code stream, each thread with an encoder of its own.
const strip_codec& lzw_strip_codec();

}  // namespace orvane
