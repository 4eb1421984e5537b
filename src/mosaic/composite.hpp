// The composite of one slice: which part of the canvas each tile column's piece shows, where
// pieces overlap and the rule that decides an overlap, computed once and read by every drawing.
#pragma once

#include "base/image.hpp"
#include "mosaic/geometry.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace orvane {

// Canvas columns [x_begin, x_end) of rows [y_begin, y_end) that a piece of
// an earlier column covers under the piece of a later one.
struct overlap_area {
    std::int64_t x_begin = 0, x_end = 0, y_begin = 0, y_end = 0;
    std::int32_t earlier = 0;  // the column whose piece lies on top there so far
};

// Decides `count` canvas pixels of an overlap, from canvas column x of row
// y on: `canvas` holds what the earlier pieces left there, `incoming` what
// the later piece shows; the result goes to `canvas`.
using overlap_rule = void (*)(const overlap_area& where, std::int64_t x, std::int64_t y,
                              std::uint16_t* canvas, const std::uint16_t* incoming,
                              std::int64_t count);

// The pixels of a slice's canvas and which tile gives each. With tiles of the
// reference size every column has its own band, [place(j), place(j + 1)),
// and nothing overlaps. A tile of another size gives a piece that may reach
// past its band; where it lies over pieces of earlier columns, the overlap
// rule decides those pixels (today's one rule: the later column's piece is
// what shows, a hard cut). Pixels no piece covers are 0.
//
// Every canvas pixel goes through draw_row: a correction of the pixels (a
// gain, a flat field) or another overlap rule (feathering) belongs there or
// in the rule picked in the constructor, never in a drawing strategy.
class composite_plan {
public:
    composite_plan(image& canvas, const mosaic_layout& layout);

    // Places column j's piece for its tile's size, once the tile's size is
    // known, and finds where it lies over the pieces placed before it.
    // Pieces that overlap must be placed and drawn in column order. Throws
    // for an empty tile.
    const piece_layout& place(std::int32_t column, image_size tile);

    // The same for a piece that must stay inside its own band, as pieces
    // drawn by several threads at once must: it looks at no other column.
    // False when the piece reaches past its band.
    bool place_in_band(std::int32_t column, image_size tile);

    const piece_layout& piece(std::int32_t column) const { return *pieces_[index(column)]; }

    // Canvas row y, 0 <= y < piece(j).rows, of column j's piece from its tile
    // row (none: the piece shows no tile row there). Rows of one piece may be
    // drawn by several threads at once.
    void draw_row(std::int32_t column, std::int64_t y, const std::uint16_t* tile_row) const;

    // Zeroes the rows of column j's piece that no tile row reached.
    void draw_rows_without_tile(std::int32_t column) const;

    // Zeroes every canvas pixel no placed piece covers.
    void clear_uncovered(int threads) const;

private:
    static std::size_t index(std::int32_t column) { return static_cast<std::size_t>(column); }
    void draw_overlapped_row(std::int32_t column, std::int64_t y,
                             const std::uint16_t* tile_row) const;

    image& canvas_;
    const mosaic_layout& layout_;
    overlap_rule rule_;
    std::vector<std::optional<piece_layout>> pieces_;
    // Per column, the overlaps of its piece with earlier pieces: disjoint,
    // in increasing x.
    std::vector<std::vector<overlap_area>> overlaps_;
};

}  // namespace orvane
