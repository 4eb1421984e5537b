// What the aligner takes from the stitcher: the list, tile rows, error reports, a stitched slice.
#pragma once

#include "base/error.hpp"
#include "mosaic/flat_field.hpp"
#include "mosaic/geometry.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace orvane::align {

// Takes a tile's rows top to bottom as they are decoded.
class row_consumer {
public:
    virtual ~row_consumer() = default;
    // The tile's size, before any rows. It may come again, with rows from the
    // top, when the tile had to be read a second way: start over then.
    virtual void begin(std::uint32_t width, std::uint32_t height) = 0;
    // Rows [y0, y0 + count), width values each, one after the other; valid
    // only during the call.
    virtual void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* pixels) = 0;
};

// Sets the image library and libtiff up as the stitcher does: no report of
// their own, no parallelism of the library's own; the stitcher's warnings
// (a tile's extra pages, clamped samples) carry the aligner's name. Call
// once, before any thread.
void prepare_tile_reading(const std::string& program);

// The tile names of a list file, read as the stitcher reads them; empty when
// the file is missing or names nothing.
std::vector<std::string> read_tile_names(const std::string& list_path);

// Hands a tile's first channel to the consumer row band by row band, as it
// is decoded, so a caller keeping a few columns never holds the tile.
// Throws the stitcher's own error for a tile it cannot read, with the same
// message: every failure is read again through the stitcher's loader.
void read_tile_rows(const std::string& name, row_consumer& consumer);

// Where the stitcher refuses this -x and -y for these tiles, prints its
// refusal as the stitcher does, then throws `then`, the aligner's own.
void refuse_as_stitcher_does(const acquisition& tiles, std::int32_t xoverlap, std::int32_t yoffset,
                             const error& then);

struct grey_image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint16_t> pixels;  // row-major
};

struct reduced_mosaic {
    grey_image image;
    std::int32_t factor = 1;  // the reduction applied
};

// One slice stitched exactly as the stitcher does with this layout, then
// reduced by the smallest whole factor that makes it at most max_width
// wide, with the stitcher's own area averaging. With a flat field, every
// tile is corrected by it and each seam blended over the whole overlap, as
// orvane --flat-field --blend makes the slice. Throws the stitcher's errors.
reduced_mosaic stitch_reduced(const acquisition& tiles, const mosaic_layout& layout,
                              std::int32_t slice_index, std::uint32_t max_width,
                              const flat_field* field = nullptr);

// The stitcher's flat field estimate (--flat-field auto), from the tiles of
// the slices it samples, placed by this layout. Throws the stitcher's errors.
flat_field estimate_tiles_flat_field(const acquisition& tiles, const mosaic_layout& layout);

// A flat field file as the stitcher reads it, for tiles of this size.
flat_field read_tiles_flat_field(const std::string& path, tile_size tile);

}  // namespace orvane::align
