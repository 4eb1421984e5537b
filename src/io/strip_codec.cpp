// The strip codecs the writer can choose.
#include "io/strip_codec.hpp"

#include "base/error.hpp"
#include "io/lzw.hpp"

#include <tiffio.h>

#include <new>

namespace orvane {

namespace {

std::size_t lzw_encode_strip(const std::uint8_t* in, std::size_t n, std::uint8_t* out)
{
    lzw_encoder* encoder = nullptr;
    try {
        encoder = &thread_lzw_encoder();
    } catch (const std::bad_alloc&) {
        throw error(failure_kind::allocate, "", "the 2 MiB table of an LZW encoder");
    }
    return encoder->encode(in, n, out);
}

}  // namespace

const strip_codec& lzw_strip_codec()
{
    static const strip_codec codec{COMPRESSION_LZW, lzw_encode_bound, lzw_encode_strip};
    return codec;
}

}  // namespace orvane
