// The mosaic geometry: where each tile column's piece lands on the canvas and which tile pixels it
// shows.
#pragma once

#include "base/image.hpp"

#include <algorithm>
#include <cstdint>

namespace orvane {

// The canvas pixels one draw writes, every one of them: columns
// [x_begin, x_end) of rows [0, rows). Empty when nothing was drawn.
struct drawn_area {
    std::int64_t x_begin = 0, x_end = 0, rows = 0;
};

// An empty tile cannot be trimmed: throws the library's own crop error for it.
[[noreturn]] void refuse_empty_tile(std::int32_t xoverlap, std::int64_t width);

// Tile column j is trimmed by xoverlap on both sides (crossed limits are
// swapped, and columns outside the tile read as 0), moved down by
// yoffset * j rows, flipped left-right and laid with its left edge at canvas
// column column_pitch * j. Only the first channel and slice of a tile count.
// Where one tile's piece lands on the canvas and which tile pixels it shows.
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

    piece_layout(const image& canvas, std::int64_t width, std::int64_t height,
                 std::int32_t tile_column, std::int32_t column_pitch, std::int32_t yoffset,
                 std::int32_t xoverlap)
        : canvas_width(canvas.width()), tile_width(width), tile_height(height)
    {
        if (width == 0 || height == 0)
            refuse_empty_tile(xoverlap, width);
        if (canvas.is_empty())
            return;
        // The piece holds tile columns x0 ... x1 (crossed limits are swapped),
        // zero where they fall outside the tile.
        std::int64_t x0 = xoverlap;
        x1 = tile_width - xoverlap - 1;
        if (x0 > x1)
            std::swap(x0, x1);
        const std::int64_t piece_width = x1 - x0 + 1;
        left = std::int64_t{column_pitch} * tile_column;
        shift = std::int64_t{yoffset} * tile_column;
        u_begin = std::max<std::int64_t>(0, -left);
        u_end = std::min(piece_width, canvas_width - left);
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
        std::uint16_t* const out = canvas_pixels + y * canvas_width;
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
