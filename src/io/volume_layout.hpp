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

// Level 0's chunks are one plane by at most this many rows and columns. In
// the planar form every level's are, and levels are added until both sides
// are at most this too.
constexpr std::int64_t volume_chunk_side = 1024;
// In the volumetric form, the chunks of levels 1 and below: at least this
// many planes (or the level's whole depth) by at most coarse_chunk_side a
// side; levels are added until the largest side is at most coarse_chunk_side.
constexpr std::int64_t coarse_chunk_depth = 16;
constexpr std::int64_t coarse_chunk_side = 512;

// How the levels below the first are made. planar: each level halves y and
// x only, every level holds every slice in chunks one plane deep, and each
// slice's worker writes all its levels (volumes written before z was
// halved, finished in their own form). volumetric: z halves too where the
// voxels are near isotropic, and the chunks of levels 1 and below span many
// slices, made from staged data once every slice they cover is there.
enum class pyramid_form { planar, volumetric };

// What decides where a tile's pixels land in a slice: slices made with other
// values hold their pixels elsewhere, in a mosaic of the same size too.
struct volume_geometry {
    std::int32_t splitnumber = 0;  // -s
    std::int32_t xoverlap = 0;     // -x
    std::int32_t yoffset = 0;      // -y
    std::int64_t tile_width = 0;   // the reference tile's
    std::int64_t tile_height = 0;
};

// How a level's plane is cut into chunks: the rows and columns of pixels of
// each (the level's sides up to the chunk side), and how many chunk rows and
// columns cover the level (those of the right and bottom edge in part).
struct chunk_grid {
    plane_size chunk;
    std::int64_t rows = 0;
    std::int64_t columns = 0;
};

// What one slice worker holds for the volume, beside its canvas: the
// buffers of levels 1 and 2 (the levels below reuse them), each thread's
// chunk and its compressed copy; and the compressed chunks of one slice,
// which a worker keeps for each slice not yet in place.
// And what the finishing step holds at most while it makes a block of a
// volumetric volume: a band of chunk rows of the block's planes, the input
// rows it is made from, and each thread's chunk and its compressed copy.
struct volume_memory {
    double buffers = 0;
    double encoded_slice = 0;
    double blocks = 0;
};

// Everything that decides a volume's files, the same in every process of a
// run, so that each writes the same metadata. make_volume_layout computes
// the levels and their chunk grids once; the writer, the checks and the
// memory bound read them.
struct volume_layout {
    std::string name;
    std::int64_t slices = 0;
    pyramid_form form = pyramid_form::volumetric;
    std::vector<plane_size> levels;  // level 0, the full mosaic, first
    std::vector<chunk_grid> grids;   // one for each level
    // For each level: its planes, the planes of its chunks, how many chunk
    // planes cover it (the last perhaps in part), and how often z was halved
    // down to it.
    std::vector<std::int64_t> depths, chunk_depths, z_chunks;
    std::vector<int> z_halvings;
    std::optional<voxel_size> voxel;
    volume_geometry geometry;
    // The seam corrections the slices are made with (seam_record_text()),
    // recorded beside the geometry; empty: none, and nothing recorded.
    std::string seams;

    // The rows and columns of level l's chunks.
    plane_size chunk(std::size_t level) const { return grids[level].chunk; }
    // Whether level l (from 1) has half the planes of the level above.
    bool halves_z(std::size_t level) const
    {
        return level > 0 && z_halvings[level] > z_halvings[level - 1];
    }
    // Whether levels 1 and below are made from staged data.
    bool staged() const { return form == pyramid_form::volumetric && levels.size() > 1; }

    // What one worker holds for this volume with `threads` threads.
    volume_memory worker_memory(int threads) const;
};

volume_layout make_volume_layout(std::string name, std::int64_t slices, plane_size full,
                                 std::optional<voxel_size> voxel, volume_geometry geometry = {},
                                 pyramid_form form = pyramid_form::volumetric);

// The names of the volume at path: a level's directory, a slice's at that
// level, a row of its chunks, and one chunk.
// The directory in the volume that holds what levels 1 and below are made
// from, removed once every chunk of theirs is there.
constexpr const char* volume_staging_name = ".staging";

inline std::string volume_level_dir(const std::string& path, std::size_t level)
{
    return path + "/" + std::to_string(level);
}

inline std::string volume_slice_dir(const std::string& path, std::size_t level,
                                    std::int32_t slice_index)
{
    return volume_level_dir(path, level) + "/" + std::to_string(slice_index);
}

inline std::string chunk_row_dir(const std::string& path, std::size_t level,
                                 std::int32_t slice_index, std::int64_t chunk_row)
{
    return volume_slice_dir(path, level, slice_index) + "/" + std::to_string(chunk_row);
}

inline std::string chunk_path(const std::string& path, std::size_t level, std::int32_t slice_index,
                              std::int64_t chunk_row, std::int64_t chunk_column)
{
    return chunk_row_dir(path, level, slice_index, chunk_row) + "/" + std::to_string(chunk_column);
}

}  // namespace orvane
