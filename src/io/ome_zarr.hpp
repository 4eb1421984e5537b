// The stitched volume as a multiscale OME-Zarr image (NGFF 0.4 on Zarr v2): its layout and
// metadata, the check of a volume already there, and each slice's chunks at every level.
#pragma once

#include "io/volume_layout.hpp"
#include "io/volume_metadata.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// Makes the volume's levels at path (a directory that exists) and writes the
// metadata files that are missing. What check_volume refuses is refused
// before anything is written. Each metadata file is created only where none
// is, then all are read back: of runs of other layouts starting together
// on one new volume, all but one are refused as if it had been there first.
void prepare_volume(const std::string& path, const volume_layout& layout);

// A slice's chunks at every level, compressed, not yet in place.
struct encoded_chunk {
    std::string path;
    std::vector<char> bytes;
};

struct encoded_planes {
    std::vector<encoded_chunk> chunks;
    // A volumetric volume's slice: what it stages for the levels below.
    encoded_chunk stage;

    // Writes each chunk under a temporary name, syncs it and renames it into
    // place, so a chunk's name never shows a partial chunk, after a power
    // loss either. Throws a write error naming the chunk.
    void put_in_place() const;
};

// Compresses slice z of the volume from the full-resolution plane (level 0's
// width x height pixels): every chunk, all-zero ones too, at every level of
// a planar volume; at level 0 of a volumetric one, with the slice's staged
// data for the levels below.
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

// Whether slice z's planes are whole: every chunk at every level (level 0
// of a volumetric volume) in place,
// and each a whole Blosc chunk of its size (its header's sizes those of the
// file and of the chunk's samples). Otherwise broken_chunk names the first
// chunk there that is not, with what is wrong in damage, or none when a chunk
// is missing.
// What keeps the chunk file at path from being a whole chunk of
// sample_bytes, from its header and size alone: reading it all would cost
// every rerun a pass over the volume. Empty when nothing does.
std::string chunk_file_damage(const std::string& path, std::size_t sample_bytes);

struct planes_check {
    bool whole = true;
    std::string broken_chunk, damage;
};
planes_check check_volume_planes(const std::string& path, const volume_layout& layout,
                                 std::int32_t slice_index);

}  // namespace orvane
