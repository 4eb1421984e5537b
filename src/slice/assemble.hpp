// Mosaic assembly of one slice and the tile load it relies on.
#pragma once

#include "slice/image.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// Loads one tile as a 16-bit image; throws the library's error on failure.
image load_tile(const std::string& name);

// The same into a buffer of the caller's, whose memory is reused when it is
// large enough. After a failure it holds no useful pixels.
void load_tile(const std::string& name, image_buffer& into);

// Makes canvas width x height zeros (empty when either is 0), filled by
// threads OpenMP threads; its memory is reused when it is large enough.
void blank_canvas(image_buffer& canvas, std::uint32_t width, std::uint32_t height, int threads = 1);

// Draws tile column j onto the canvas in one pass: the tile is trimmed by
// xoverlap on both sides, moved down by yoffset * j rows, flipped left-right
// and laid with its left edge at column column_pitch * j. Only the tile's
// first channel and first slice are used; rows below the tile are left as
// they are. threads > 1 splits the rows over that many OpenMP threads.
void draw_tile(image& canvas, const image& tile, std::int32_t tile_column,
               std::int32_t column_pitch, std::int32_t yoffset, std::int32_t xoverlap,
               int threads = 1);

// Draws the slice's tiles onto the canvas: tile column j is trimmed by xoverlap
// on both sides, moved down by yoffset * j rows, flipped left-right and laid
// with its left edge at column (W - 2 * xoverlap) * j.
void assemble_slice(image& canvas, std::int32_t slice_index, std::uint32_t width,
                    const std::vector<std::string>& names, std::int32_t slice_count,
                    std::int32_t yoffset, std::int32_t xoverlap, std::int32_t splitnumber,
                    int threads = 1);

} // namespace orvane
