// The levels of a multiscale volume: each half the one above, each pixel the rounded mean of those
// it covers.
#pragma once

#include "mosaic/geometry.hpp"

#include <cstdint>
#include <vector>

namespace orvane {

// A plane's width and height, at any level.
using plane_size = image_size;

// The size of the level below: half of each side, rounded up, so the last
// row and column of an odd side keep a pixel of their own.
inline plane_size half_size(plane_size size)
{
    return {(size.width + 1) / 2, (size.height + 1) / 2};
}

// Level 0 is full; each further level halves it until both sides are at most
// max_side (at least 1).
std::vector<plane_size> pyramid_sizes(plane_size full, std::int64_t max_side);

// Writes the level below the plane `in` of the given size into `out`
// (half_size(size) pixels, rows after each other): each pixel the mean of
// the 2 x 2 pixels it covers, or of the 2 or 1 left at an odd right or bottom
// edge, rounded to nearest with halves up. The sum is exact in integers, so
// the result does not depend on the order or on threads, which split the rows.
void halve_plane(const std::uint16_t* in, plane_size size, std::uint16_t* out, int threads);

}  // namespace orvane
