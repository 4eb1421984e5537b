// Assembly of one slice's mosaic from its tiles.
#pragma once

#include "base/image.hpp"
#include "mosaic/geometry.hpp"
#include "mosaic/tile_source.hpp"

#include <cstdint>

namespace orvane {

class composite_plan;

// Draws tile column j onto the canvas in one pass, where the layout puts it
// (trimmed, moved down, flipped left-right). Only the tile's first channel
// and first slice are used; rows below the tile are left as they are.
// threads > 1 splits the rows over that many OpenMP threads. Returns the
// area it wrote.
drawn_area draw_tile(image& canvas, const image& tile, std::int32_t tile_column,
                     const mosaic_layout& layout, int threads = 1);

// Draws a whole tile of column j through the plan in one pass, where the
// plan places it, its rows split over that many threads (OpenMP).
void draw_whole_tile(composite_plan& plan, const image& tile, std::int32_t tile_column,
                     int threads);

// Makes the canvas the mosaic of one slice, whose tiles the source gives:
// tile column j laid out as the layout says, and every pixel no tile covers
// 0. The canvas may hold anything before (a thread's canvas from its last
// slice): covered pixels are written once, the rest cleared.
void assemble_slice(image& canvas, const tile_source& tiles, const mosaic_layout& layout,
                    int threads = 1);

}  // namespace orvane
