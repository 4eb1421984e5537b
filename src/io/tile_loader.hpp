// Loading one tile by name: the checks every name passes, the own TIFF reader, the library's loader
// for the rest.
#pragma once

#include "base/image.hpp"
#include "io/tile_reader.hpp"

#include <cstdint>
#include <string>

namespace orvane {

// Loads one tile as a 16-bit image; throws the project's error on failure.
image load_tile(const std::string& name);

// The same into a buffer of the caller's, whose memory is reused when it is
// large enough. After a failure it holds no useful pixels.
void load_tile(const std::string& name, image_buffer& into);

// Hands a TIFF tile to the sink band by band as it is read. False, with
// nothing read, when the file is not a TIFF (load it with load_tile then).
bool stream_tile(const std::string& name, row_sink& sink);

struct tile_size {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// Loads a tile the way slices do and returns its size.
tile_size load_tile_size(const std::string& name);

}  // namespace orvane
