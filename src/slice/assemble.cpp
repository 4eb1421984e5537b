// Tile loading and the mosaic geometry of a slice, drawn in one pass per tile.
#include "slice/assemble.hpp"

#include <algorithm>

namespace orvane {

image load_tile(const std::string& name)
{
    image tile;
    tile.load(name.c_str());
    return tile;
}

void draw_tile(image& canvas, const image& tile, std::int32_t tile_column,
               std::int32_t column_pitch, std::int32_t yoffset, std::int32_t xoverlap, int threads)
{
    const std::int64_t tile_width = tile.width(), tile_height = tile.height();
    // An empty tile cannot be trimmed: let the library raise its own error for it.
    if (tile.is_empty())
        (void)tile.get_crop(xoverlap, static_cast<int>(tile_width) - xoverlap - 1, 0);
    if (canvas.is_empty())
        return;
    const std::int64_t canvas_width = canvas.width(), canvas_height = canvas.height();

    // The piece holds tile columns x0 ... x1 (crossed limits are swapped), zero
    // where they fall outside the tile; flipped, piece column u shows tile column x1 - u.
    std::int64_t x0 = xoverlap, x1 = tile_width - xoverlap - 1;
    if (x0 > x1)
        std::swap(x0, x1);
    const std::int64_t piece_width = x1 - x0 + 1;
    const std::int64_t left = std::int64_t{column_pitch} * tile_column;
    const std::int64_t shift = std::int64_t{yoffset} * tile_column;

    // Piece columns that land on the canvas, and among them those inside the tile.
    const std::int64_t u_begin = std::max<std::int64_t>(0, -left);
    const std::int64_t u_end = std::min(piece_width, canvas_width - left);
    if (u_begin >= u_end)
        return;
    const std::int64_t copy_begin = std::clamp(x1 - tile_width + 1, u_begin, u_end);
    const std::int64_t copy_end = std::clamp(x1 + 1, copy_begin, u_end);
    // The piece is as tall as the tile: rows below it keep what they hold.
    const std::int64_t rows = std::min(tile_height, canvas_height);

    std::uint16_t* const canvas_pixels = canvas.data();
    // The first slice of the first channel is the tile's first width * height values.
    const std::uint16_t* const tile_pixels = tile.data();
    const int team = std::max(1, threads);
#pragma omp parallel for num_threads(team) schedule(static) if (team > 1)
    for (std::int64_t y = 0; y < rows; ++y) {
        std::uint16_t* const out = canvas_pixels + y * canvas_width;
        const std::int64_t tile_row = y - shift;
        if (tile_row < 0 || tile_row >= tile_height) {
            std::fill(out + (left + u_begin), out + (left + u_end), std::uint16_t{0});
            continue;
        }
        const std::uint16_t* const in = tile_pixels + tile_row * tile_width;
        std::fill(out + (left + u_begin), out + (left + copy_begin), std::uint16_t{0});
        // Tile and canvas are different images, so the flipped copy may run in vector lanes.
#pragma omp simd
        for (std::int64_t u = copy_begin; u < copy_end; ++u)
            out[left + u] = in[x1 - u];
        std::fill(out + (left + copy_end), out + (left + u_end), std::uint16_t{0});
    }
}

void assemble_slice(image& canvas, std::int32_t slice_index, std::uint32_t width,
                    const std::vector<std::string>& names, std::int32_t slice_count,
                    std::int32_t yoffset, std::int32_t xoverlap, std::int32_t splitnumber,
                    int threads)
{
    const std::int32_t column_pitch = static_cast<std::int32_t>(width) - 2 * xoverlap;
    // Columns are drawn in increasing order: where pieces overlap (tiles wider
    // than the reference) the higher column must win.
    for (std::int32_t tile_column = 0; tile_column < splitnumber; ++tile_column) {
        const std::int32_t tile_index = tile_column * slice_count + slice_index;
        const image tile = load_tile(names.at(static_cast<std::size_t>(tile_index)));
        draw_tile(canvas, tile, tile_column, column_pitch, yoffset, xoverlap, threads);
    }
}

} // namespace orvane
