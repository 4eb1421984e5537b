// The stitched volume as a multiscale OME-Zarr image (NGFF 0.4 on Zarr v2): its layout and
// metadata, the check of a volume already there, and each slice's chunks at every level.
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

// Everything that decides a volume's files, the same in every process of a
// run, so that each writes the same metadata.
struct volume_layout {
    std::string name;
    std::int64_t slices = 0;
    std::vector<plane_size> levels;  // level 0, the full mosaic, first
    std::optional<voxel_size> voxel;

    // The rows and columns of level l's chunks: its sides up to the chunk side.
    plane_size chunk(std::size_t level) const;
};

volume_layout make_volume_layout(std::string name, std::int64_t slices, plane_size full,
                                 std::optional<voxel_size> voxel);

// The texts of the metadata files: the group, its attributes (the one
// multiscale with axes, scales and translations) and level l's array.
std::string group_text();
std::string attributes_text(const volume_layout& layout);
std::string array_text(const volume_layout& layout, std::size_t level);

// Makes the volume's levels at path (a directory that exists) and writes the
// metadata files that are missing. A volume already there whose shape, type,
// chunks, compressor or scales differ from the layout's is refused before
// anything is written: the error names the file and the difference.
void prepare_volume(const std::string& path, const volume_layout& layout);

// A slice's chunks at every level, compressed, not yet in place.
struct encoded_chunk {
    std::string path;
    std::vector<char> bytes;
};

struct encoded_planes {
    std::vector<encoded_chunk> chunks;

    // Writes each chunk under a temporary name, syncs it and renames it into
    // place, so a chunk's name never shows a partial chunk, after a power
    // loss either. Throws a write error naming the chunk.
    void put_in_place() const;
};

// Compresses slice z of the volume at every level from the full-resolution
// plane (level 0's width x height pixels): every chunk, all-zero ones too.
// Makes the slice's directories and removes a killed run's temporaries there.
// `threads` share the levels' halving and the chunks. The device work is left
// to put_in_place, so a caller can do it while making the next slice.
encoded_planes encode_volume_planes(const std::string& path, const volume_layout& layout,
                                    std::int32_t slice_index, const std::uint16_t* plane,
                                    int threads);

// Both, one after the other.
void write_volume_planes(const std::string& path, const volume_layout& layout,
                         std::int32_t slice_index, const std::uint16_t* plane, int threads);

// Removes what a killed run left of slice z's chunks: temporaries, never
// taken for chunks, but not the volume's. Writing the slice does it too.
void remove_volume_leftovers(const std::string& path, const volume_layout& layout,
                             std::int32_t slice_index);

// Whether every chunk of slice z is in place at every level.
bool volume_planes_present(const std::string& path, const volume_layout& layout,
                           std::int32_t slice_index);

}  // namespace orvane
