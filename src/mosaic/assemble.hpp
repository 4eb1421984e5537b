// Assembly of one slice's mosaic from its tiles.
#pragma once

#include "base/image.hpp"
#include "mosaic/geometry.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

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

}  // namespace orvane
