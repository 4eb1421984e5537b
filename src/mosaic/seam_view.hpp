// What the steps of a seamless slice share: where each corrected tile lies, and the registration of
// one seam.
#pragma once

#include "mosaic/geometry.hpp"
#include "mosaic/seamless.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace orvane::seam_detail {

// A half-open interval of canvas columns.
struct span {
    std::int64_t begin = 0, end = 0;
    bool empty() const { return begin >= end; }
};

inline span intersect(span a, span b)
{
    return {std::max(a.begin, b.begin), std::min(a.end, b.end)};
}

// Where each corrected tile lies on the canvas and how bright it is drawn.
// Tile column j's flipped column f (f = W - 1 - tile column) and tile row t
// land on canvas column place(j) - xoverlap + x_shift + f and row
// shift(j) + y_shift + t.
struct column_place {
    const std::uint16_t* pixels = nullptr;  // the tile's first width * height values
    std::int64_t x_shift = 0, y_shift = 0;
    float gain = 1.0f;
    std::int64_t left = 0;  // the canvas column of flipped column 0
    std::int64_t top = 0;   // the canvas row of tile row 0
};

// The tiles of one slice, all of the reference size, and the layout.
struct slice_view {
    const mosaic_layout& layout;
    std::int64_t width = 0, height = 0;  // of every tile
    std::vector<column_place> columns;

    std::int32_t count() const { return static_cast<std::int32_t>(columns.size()); }
};

// The canvas columns column j's tile covers on canvas row y; empty where it
// shows no tile row there.
inline span coverage(const slice_view& s, std::int32_t j, std::int64_t y, std::int64_t canvas_width)
{
    const column_place& c = s.columns[static_cast<std::size_t>(j)];
    const std::int64_t t = y - c.top;
    if (t < 0 || t >= s.height)
        return {};
    return intersect({c.left, c.left + s.width}, {0, canvas_width});
}

// Where the right column of seam `left` lies against its nominal place,
// within +-range pixels; the nominal place where the match is unreliable.
seam_measure register_seam(const slice_view& s, std::int32_t left, std::int32_t range);

// Each column's gain, so that neighbours agree over their overlaps as
// placed and the pixels the plain mosaic shows keep their mean brightness;
// written into the columns and the seams.
void match_gains(slice_view& s, std::vector<seam_measure>& seams, std::int64_t canvas_width,
                 int threads);

}  // namespace orvane::seam_detail
