// Where assembly gets a slice's tiles: an interface, so the pixels know no files.
#pragma once

#include "base/image.hpp"
#include "base/row_sink.hpp"

#include <cstdint>

namespace orvane {

// The tiles of one slice by tile column. Assembly may ask for different
// columns from several threads at once, and for the same column again after
// a stream it gave up on.
class tile_source {
public:
    virtual ~tile_source() = default;

    // Hands the tile of column j to the sink band by band as it is decoded.
    // False, with nothing read, when the tile can only be loaded whole.
    virtual bool stream(std::int32_t tile_column, row_sink& sink) const = 0;

    // Loads the tile of column j whole into a buffer of the caller's, whose
    // memory is reused when it is large enough.
    virtual void load(std::int32_t tile_column, image_buffer& into) const = 0;
};

}  // namespace orvane
