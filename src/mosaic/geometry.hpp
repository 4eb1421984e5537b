// The mosaic layout: the canvas of a run and where each tile column's piece lands on it and which
// tile pixels it shows.
#pragma once

#include "base/image.hpp"
#include "mosaic/acquisition.hpp"
#include "mosaic/sizes.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

namespace orvane {

// The canvas pixels one draw writes, every one of them: columns
// [x_begin, x_end) of rows [0, rows). Empty when nothing was drawn.
struct drawn_area {
    std::int64_t x_begin = 0, x_end = 0, rows = 0;
};

// The tile columns a piece shows, first ... last: a tile W wide is trimmed
// by xoverlap on both sides, columns xoverlap ... W - xoverlap - 1, crossed
// limits swapped. Columns outside the tile read as 0.
struct tile_crop {
    std::int64_t first = 0, last = 0;
    std::int64_t width() const { return last - first + 1; }
};

// Where the tile columns of a run go, computed once from the acquisition and
// -x / -y, in 64 bits: the options and the reference size may give sizes
// past 32 bits, which the run refuses before it makes a canvas. Tile column
// j is trimmed by xoverlap on both sides, moved down by yoffset * j rows,
// flipped left-right and laid with its left edge at canvas column
// column_pitch * j. The canvas is column_pitch * columns wide, as tall as
// the reference tile.
class mosaic_layout {
public:
    mosaic_layout(const acquisition& tiles, std::int32_t xoverlap, std::int32_t yoffset)
        : reference_(tiles.reference()), columns_(tiles.columns()), xoverlap_(xoverlap),
          yoffset_(yoffset),
          column_pitch_(std::int64_t{reference_.width} - 2 * std::int64_t{xoverlap})
    {
    }

    std::int32_t xoverlap() const { return xoverlap_; }
    std::int32_t yoffset() const { return yoffset_; }
    std::int32_t columns() const { return columns_; }
    tile_size reference() const { return reference_; }

    // W - 2 * xoverlap: the canvas columns from one tile column's left edge to the next.
    std::int64_t column_pitch() const { return column_pitch_; }
    image_size canvas() const
    {
        return {column_pitch_ * columns_, std::int64_t{reference_.height}};
    }

    // The canvas column of tile column j's left edge, and the canvas row of its tile row 0.
    std::int64_t place(std::int32_t column) const { return column_pitch_ * column; }
    std::int64_t shift(std::int32_t column) const { return std::int64_t{yoffset_} * column; }

    // The columns a tile of this width shows: the reference width, or the
    // width of a tile that differs from it.
    tile_crop crop(std::int64_t tile_width) const
    {
        std::int64_t first = xoverlap_, last = tile_width - xoverlap_ - 1;
        if (first > last)
            std::swap(first, last);
        return {first, last};
    }

    // The reduced copy for a factor of 2 or more: each side divided by the
    // factor, the remainder dropped.
    image_size reduced(std::int32_t factor) const
    {
        const image_size full = canvas();
        return {full.width / factor, full.height / factor};
    }

private:
    tile_size reference_;
    std::int32_t columns_, xoverlap_, yoffset_;
    std::int64_t column_pitch_;
};

// Why this layout cannot make a mosaic of the acquisition, or "" when it
// can: nothing of a tile is left, or the canvas passes what the image type
// holds or `memory` bytes (0: not known). The reason is said in full, for
// either program to report.
std::string why_no_mosaic(const acquisition& tiles, const mosaic_layout& layout,
                          std::uint64_t memory);

// The same as a refusal: throws the usage error with that reason, which
// either program's driver reports as orvane's own refusal of the options.
void refuse_unstitchable(const acquisition& tiles, const mosaic_layout& layout,
                         std::uint64_t memory);

// An empty tile cannot be trimmed: throws the crop error of an empty image,
// of the library_instance kind.
[[noreturn]] void refuse_empty_tile(std::int32_t xoverlap, std::int64_t width);

// Where one tile's piece lands on the canvas and which tile pixels it shows.
// Only the first channel and slice of a tile count.
struct piece_layout {
    std::int64_t canvas_width = 0;
    std::int64_t tile_width = 0, tile_height = 0;
    std::int64_t x1 = 0;                        // piece column u shows tile column x1 - u (flipped)
    std::int64_t left = 0;                      // canvas column of piece column 0
    std::int64_t shift = 0;                     // canvas row of tile row 0
    std::int64_t u_begin = 0, u_end = 0;        // piece columns on the canvas
    std::int64_t copy_begin = 0, copy_end = 0;  // ... and among them those inside the tile
    std::int64_t rows = 0;                      // canvas rows the piece covers
    bool empty = true;                          // nothing of it lands on the canvas

    // The piece of a width x height tile of tile column j.
    piece_layout(const image& canvas, image_size tile, const mosaic_layout& layout,
                 std::int32_t tile_column)
        : canvas_width(canvas.width()), tile_width(tile.width), tile_height(tile.height)
    {
        if (tile_width == 0 || tile_height == 0)
            refuse_empty_tile(layout.xoverlap(), tile_width);
        if (canvas.is_empty())
            return;
        const tile_crop crop = layout.crop(tile_width);
        x1 = crop.last;
        left = layout.place(tile_column);
        shift = layout.shift(tile_column);
        u_begin = std::max<std::int64_t>(0, -left);
        u_end = std::min(crop.width(), canvas_width - left);
        if (u_begin >= u_end)
            return;
        copy_begin = std::clamp(x1 - tile_width + 1, u_begin, u_end);
        copy_end = std::clamp(x1 + 1, copy_begin, u_end);
        // The piece is as tall as the tile: rows below it keep what they hold.
        rows = std::min(tile_height, std::int64_t{canvas.height()});
        empty = false;
    }

    drawn_area area() const
    {
        return empty ? drawn_area{} : drawn_area{left + u_begin, left + u_end, rows};
    }

    // Canvas row y, 0 <= y < rows, from its tile row (zeros when there is none).
    void draw_row(std::uint16_t* canvas_pixels, std::int64_t y, const std::uint16_t* in) const
    {
        show_row(canvas_pixels + y * canvas_width, in);
    }

    // The piece's columns of a canvas-wide row `out` from a tile row (zeros when there is none).
    void show_row(std::uint16_t* out, const std::uint16_t* in) const
    {
        if (!in) {
            std::fill(out + (left + u_begin), out + (left + u_end), std::uint16_t{0});
            return;
        }
        std::fill(out + (left + u_begin), out + (left + copy_begin), std::uint16_t{0});
        // Tile and canvas are different images, so the flipped copy may run in vector lanes.
#pragma omp simd
        for (std::int64_t u = copy_begin; u < copy_end; ++u)
            out[left + u] = in[x1 - u];
        std::fill(out + (left + copy_end), out + (left + u_end), std::uint16_t{0});
    }

    // Whether canvas row y shows a tile row.
    bool shows_tile_row(std::int64_t y) const { return y - shift >= 0 && y - shift < tile_height; }
};

}  // namespace orvane
