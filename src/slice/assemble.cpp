// Tile loading and the mosaic geometry of a slice.
#include "slice/assemble.hpp"

namespace orvane {

image load_tile(const std::string& name)
{
    image tile;
    tile.load(name.c_str());
    return tile;
}

void assemble_slice(image& canvas, std::int32_t slice_index, std::uint32_t width,
                    const std::vector<std::string>& names, std::int32_t slice_count,
                    std::int32_t yoffset, std::int32_t xoverlap, std::int32_t splitnumber)
{
    const std::int32_t column_pitch = static_cast<std::int32_t>(width) - 2 * xoverlap;
    // Columns are drawn in increasing order on this thread: where pieces overlap
    // (tiles wider than the reference) the higher column must win.
    for (std::int32_t tile_column = 0; tile_column < splitnumber; ++tile_column) {
        const std::int32_t tile_index = tile_column * slice_count + slice_index;
        const image tile = load_tile(names.at(static_cast<std::size_t>(tile_index)));
        image piece = tile.get_crop(xoverlap, static_cast<int>(tile.width()) - xoverlap - 1, 0);
        piece.shift(0, yoffset * tile_column, 0, 0, 0);
        piece.mirror('x');
        canvas.draw_image(column_pitch * tile_column, 0, 0, 0, piece, 1.0f);
    }
}

} // namespace orvane
