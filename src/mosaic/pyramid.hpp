// The levels of a multiscale volume: each half the one above, each pixel the rounded mean of those
// it covers.
#pragma once

#include "mosaic/geometry.hpp"
#include "mosaic/voxel_size.hpp"

#include <cstdint>
#include <optional>
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

// One level of a volume halved in z too: its depth (planes), its plane, and
// how many times z was halved down to it.
struct pyramid_level {
    std::int64_t depth = 0;
    plane_size plane;
    int z_halvings = 0;

    bool operator==(const pyramid_level& o) const
    {
        return depth == o.depth && plane.width == o.plane.width && plane.height == o.plane.height &&
               z_halvings == o.z_halvings;
    }
};

// The levels of a volume of `depth` planes of `full` pixels: from each level
// to the next y and x halve (rounded up), and z halves too where the level's
// slice spacing is under twice its pixel width (z never does without a
// voxel size, the spacing being unknown). Levels are added until the largest
// side is at most max_side (z counted only with a voxel size), or until the
// next level would have the shape of the last.
std::vector<pyramid_level> volume_pyramid(std::int64_t depth, plane_size full,
                                          const std::optional<voxel_size>& voxel,
                                          std::int64_t max_side);

// Writes the sums of the 2 x 2 pixels each pixel of the level below covers
// (fewer at an odd right or bottom edge) into `out`, half_size(size) of them:
// the unrounded data a level that also halves z takes the mean of.
void sum_quads(const std::uint16_t* in, plane_size size, std::uint32_t* out, int threads);

// Writes the level below the plane `in` of the given size into `out`
// (half_size(size) pixels, rows after each other): each pixel the mean of
// the 2 x 2 pixels it covers, or of the 2 or 1 left at an odd right or bottom
// edge, rounded to nearest with halves up. The sum is exact in integers, so
// the result does not depend on the order or on threads, which split the rows.
void halve_plane(const std::uint16_t* in, plane_size size, std::uint16_t* out, int threads);

}  // namespace orvane
