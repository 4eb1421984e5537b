// The project's own TIFF tile reader: first page, first channel, as 16-bit pixels.
#pragma once

#include "base/row_sink.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvane {

// The first channel of the first page, row-major, converted to 16 bits by one
// rule for every sample type (8, 16 and 32-bit integers, signed or not, and
// 32-bit floats): values in 0..65535 are kept, floats truncated towards zero;
// values below 0 become 0, values above 65535 become 65535, and NaN gives 0.
// A tile with clamped samples gets one warning on standard error naming it,
// with how many samples were clamped and their extremes; a tile of several
// pages gets one warning per run that only the first is used.
struct tile_pixels {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint16_t> pixels;
};

// True when the first bytes are one of the four TIFF signatures (classic or
// BigTIFF, either byte order).
bool has_tiff_signature(const unsigned char* bytes, std::size_t size);

// Reads a TIFF file, or throws a read error naming it: unsupported sample layouts,
// truncated or corrupt data and sizes past the allocation bound all throw, so
// a partial image is never returned. libtiff prints nothing; its message
// becomes part of the error. Safe to call from many threads at once.
tile_pixels read_tiff_tile(const std::string& path);

// The same, into a buffer of the caller's: allocate(width, height) is called
// once the size is known and returns room for width * height values, which
// need not be initialised: every one is written unless the call throws.
using pixel_allocator = std::function<std::uint16_t*(std::uint32_t width, std::uint32_t height)>;
void read_tiff_tile(const std::string& path, const pixel_allocator& allocate);

// Reads a TIFF file as read_tiff_tile does, handing each band to the sink as
// soon as it is decoded: a caller that uses the rows at once needs no room
// for the whole tile. After a throw the sink may have seen some of the rows.
void read_tiff_rows(const std::string& path, row_sink& sink);

// Largest decoded size, in bytes, that read_tiff_tile accepts for one page's
// first channel or for one strip or tile of it.
constexpr std::uint64_t max_decoded_bytes = std::uint64_t{1} << 32;

}  // namespace orvane
