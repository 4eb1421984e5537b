// One block of chunks of a level below the first (one chunk plane, every row and column of it),
// made from the staged planes of the level above, and the names and ranges of those planes.
#pragma once

#include "io/volume_layout.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// The volume's staging directory, and level l's staged plane z there
// (level 1 and below, 16-bit samples) with its size in bytes.
std::string staging_dir(const std::string& path);
std::string plane_path(const std::string& path, std::size_t level, std::int64_t z);
std::uint64_t plane_bytes(const volume_layout& layout, std::size_t level);

// Planes [first, end) of a level.
struct plane_range {
    std::int64_t first = 0, end = 0;
};

// The planes block b of level l covers.
plane_range block_planes(const volume_layout& layout, std::size_t level, std::int64_t block);

// The planes of the level above (the slices, for level 1) that planes `out`
// of level l are made from.
plane_range input_planes(const volume_layout& layout, std::size_t level, plane_range out);

// The staged input plane z of level l's blocks: a slice's staged data for level 1.
std::string input_path(const std::string& path, const volume_layout& layout, std::size_t level,
                       std::int64_t z);

// What a block is made in: a band of chunk rows, tens of megabytes, and the
// rows of the planes it is made from. Kept from one block of a level to the
// next, as memory taken afresh for each block costs more than filling it.
struct block_buffers {
    std::vector<std::uint16_t> band;
    std::array<std::vector<std::uint32_t>, 2> inputs;
};

// Makes block b of level l from its inputs, which must all be there: its
// chunks, each under a temporary name and renamed, and, where the next
// level is made from them, its staged planes, renamed after the chunks.
// Each voxel is the mean of the 2 x 2 (x 2) it covers, rounded half up,
// exact in integers. `threads` share each band of chunk rows. The chunks
// are written as they are made and synced together at the end.
void make_block(const std::string& path, const volume_layout& layout, std::size_t level,
                std::int64_t block, int threads, block_buffers& buffers);

}  // namespace orvane
