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

// The canvas pixels one draw_tile call writes, every one of them: columns
// [x_begin, x_end) of rows [0, rows). Empty when nothing was drawn.
struct drawn_area {
    std::int64_t x_begin = 0, x_end = 0, rows = 0;
};

// Draws tile column j onto the canvas in one pass: the tile is trimmed by
// xoverlap on both sides, moved down by yoffset * j rows, flipped left-right
// and laid with its left edge at column column_pitch * j. Only the tile's
// first channel and first slice are used; rows below the tile are left as
// they are. threads > 1 splits the rows over that many OpenMP threads.
// Returns the area it wrote.
drawn_area draw_tile(image& canvas, const image& tile, std::int32_t tile_column,
                     std::int32_t column_pitch, std::int32_t yoffset, std::int32_t xoverlap,
                     int threads = 1);

// Makes the canvas the slice's mosaic: tile column j is trimmed by xoverlap
// on both sides, moved down by yoffset * j rows, flipped left-right and laid
// with its left edge at column (W - 2 * xoverlap) * j, and every pixel no
// tile covers is 0. The canvas may hold anything before (a thread's canvas
// from its last slice): covered pixels are written once, the rest cleared.
void assemble_slice(image& canvas, std::int32_t slice_index, std::uint32_t width,
                    const std::vector<std::string>& names, std::int32_t slice_count,
                    std::int32_t yoffset, std::int32_t xoverlap, std::int32_t splitnumber,
                    int threads = 1);

} // namespace orvane
