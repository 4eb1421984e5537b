// The dark field of the flat-field estimate, and the grid of blocks it and the brightness use.
#pragma once

#include "base/image.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace orvane::flat_detail {

// A tile's size, cut into blocks of about equal sides, and the coordinates
// the smooth models use: u and v run from -1 to 1 across the tile.
struct tile_grid {
    std::int64_t width = 0, height = 0, block_w = 0, block_h = 0, nx = 0, ny = 0;
    double u(double x) const { return width > 1 ? 2 * x / double(width - 1) - 1 : 0; }
    double v(double y) const { return height > 1 ? 2 * y / double(height - 1) - 1 : 0; }
    // Block b's pixels: columns [x0, x1), rows [y0, y1).
    struct rect {
        std::int64_t x0, y0, x1, y1;
    };
    rect block(std::int64_t b) const
    {
        const std::int64_t x0 = (b % nx) * block_w, y0 = (b / nx) * block_h;
        return {x0, y0, std::min(x0 + block_w, width), std::min(y0 + block_h, height)};
    }
};

// The tile is cut into about this many blocks.
constexpr double blocks_per_tile = 512;

inline tile_grid make_grid(std::int64_t width, std::int64_t height)
{
    tile_grid g{width, height, 0, 0, 0, 0};
    const auto side = static_cast<std::int64_t>(
        std::max(4.0, std::round(std::sqrt(double(width) * double(height) / blocks_per_tile))));
    g.block_w = std::min(side, width);
    g.block_h = std::min(side, height);
    g.nx = (width + g.block_w - 1) / g.block_w;
    g.ny = (height + g.block_h - 1) / g.block_h;
    return g;
}

// The median of a list (its upper middle value for an even count); 0 for none.
double median_of(std::vector<double> values);

// The dark field, pixel by pixel: each block's background level over every
// tile (the densest value, which a specimen's dark background gives, never
// above the darkest values the block shows but for their noise), smoothed by
// a robust fit of a plane, which blocks the specimen covers in every tile do
// not sway; and the background's spread.
struct dark_estimate {
    std::vector<float> dark;  // width * height, row after row
    double spread = 0;
};
// The values each block takes from the tiles, gathered tile by tile so that
// the tiles need not be held together.
struct dark_samples {
    tile_grid g;
    std::vector<std::vector<float>> values;  // per block
    // Per block, for each value, its right neighbour less its left one.
    std::vector<std::vector<float>> steps;
    // Adds a few values of each block of every tile, in the tiles' order.
    void add(const std::vector<const image*>& tiles, int threads);
};
dark_estimate estimate_dark(dark_samples samples, int threads);

}  // namespace orvane::flat_detail
