// What decides the OME-Zarr volume's files: its levels, chunks, scales and the geometry of its
// slices, the same in every process of a run.
#pragma once

#include "mosaic/pyramid.hpp"
#include "mosaic/voxel_size.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// Chunks are one plane by at most this many rows and columns; levels are
// added until both sides are at most this too.
constexpr std::int64_t volume_chunk_side = 1024;

// What decides where a tile's pixels land in a slice: slices made with other
// values hold their pixels elsewhere, in a mosaic of the same size too.
struct volume_geometry {
    std::int32_t splitnumber = 0;  // -s
    std::int32_t xoverlap = 0;     // -x
    std::int32_t yoffset = 0;      // -y
    std::int64_t tile_width = 0;   // the reference tile's
    std::int64_t tile_height = 0;
};

// Everything that decides a volume's files, the same in every process of a
// run, so that each writes the same metadata.
struct volume_layout {
    std::string name;
    std::int64_t slices = 0;
    std::vector<plane_size> levels;  // level 0, the full mosaic, first
    std::optional<voxel_size> voxel;
    volume_geometry geometry;

    // The rows and columns of level l's chunks: its sides up to the chunk side.
    plane_size chunk(std::size_t level) const;
};

volume_layout make_volume_layout(std::string name, std::int64_t slices, plane_size full,
                                 std::optional<voxel_size> voxel, volume_geometry geometry = {});

inline std::string volume_level_dir(const std::string& path, std::size_t level)
{
    return path + "/" + std::to_string(level);
}

}  // namespace orvane
