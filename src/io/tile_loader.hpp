// Loading one tile by name: the checks every name passes, the own TIFF reader, the library's loader
// for the rest.
#pragma once

#include "base/image.hpp"
#include "io/tile_reader.hpp"
#include "mosaic/acquisition.hpp"
#include "mosaic/sizes.hpp"
#include "mosaic/tile_source.hpp"

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

// Loads a tile the way slices do and returns its size.
tile_size load_tile_size(const std::string& name);

// The tile files of one slice of an acquisition, read as above.
class slice_tile_files : public tile_source {
public:
    slice_tile_files(const acquisition& tiles, std::int32_t slice_index)
        : tiles_(tiles), slice_index_(slice_index)
    {
    }

    bool stream(std::int32_t tile_column, row_sink& sink) const override
    {
        return stream_tile(tiles_.tile_name(tile_column, slice_index_), sink);
    }

    void load(std::int32_t tile_column, image_buffer& into) const override
    {
        load_tile(tiles_.tile_name(tile_column, slice_index_), into);
    }

private:
    const acquisition& tiles_;
    std::int32_t slice_index_;
};

}  // namespace orvane
