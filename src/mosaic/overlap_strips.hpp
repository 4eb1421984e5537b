// The parts of the sampled tiles that the flat-field estimate's overlap equations read, kept from
// its one reading of the tiles, and the registration of a seam's overlap between two of them.
#pragma once

#include "base/image.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace orvane::flat_detail {

// Registration of a seam's overlap: shifts up to this many pixels.
constexpr int register_range = 8;

// Columns [first, first + width) of a tile, every row, row after row.
struct column_strip {
    std::int64_t first = 0, width = 0;
    std::vector<std::uint16_t> pixels;
    // The pixel at column x of the tile, inside the strip, and row t.
    std::uint16_t at(std::int64_t x, std::int64_t t) const
    {
        return pixels[std::size_t(t * width + x - first)];
    }
};

// Columns [first, end) of the tile, cut to its width.
column_strip keep_columns(const image& tile, std::int64_t first, std::int64_t end);

// Where tile b (the right column of a seam) matches tile a: a(x, t) shows
// what b shows at (x + pitch + dx, t - yoffset + dy). Of a, columns
// [0, strip) are read; of b, those from pitch - register_range on. The
// nominal (0, 0) unless the correlation is clear and inside the range.
std::pair<int, int> register_overlap(const column_strip& a, const column_strip& b,
                                     std::int64_t tile_width, std::int64_t tile_height,
                                     std::int64_t strip, std::int64_t pitch, std::int64_t yoffset);

}  // namespace orvane::flat_detail
