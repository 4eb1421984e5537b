// The levels below the first of a volumetric volume: what each slice stages for them, the blocks of
// chunks made from it once every slice they cover is there, and which slices still wait for them.
#pragma once

#include "io/volume_layout.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// What slice k stages for level 1: the 2 x 2 sums of its pixels (32 bits
// each) where level 1 halves z too, so that the 2 x 2 x 2 mean is rounded
// once; otherwise its level-1 plane itself. Raw samples, rows after each
// other, little-endian.
std::string slice_stage_path(const std::string& path, const volume_layout& layout,
                             std::int32_t slice_index);
std::uint64_t slice_stage_bytes(const volume_layout& layout);

// Whether slice k's staged data is whole at its name.
bool slice_staged(const std::string& path, const volume_layout& layout, std::int32_t slice_index);

// For each slice, whether some chunk of levels 1 and below that covers it
// is missing or not whole: the volume is not finished there. With `only`
// (a slice index) the chunks over that slice alone are looked at.
std::vector<bool> coarse_pending(const std::string& path, const volume_layout& layout,
                                 std::int64_t only = -1);

// The finishing step every run ends with: makes each block of chunks (one
// chunk plane of a level, every row and column of it) that is missing and
// whose staged inputs are all there, level by level from level 1, so a
// block made here feeds the next level at once. A block is made under a
// lock on its claim file, so of runs finishing together one makes it and
// the others wait for it and find it made; a killed run's lock goes with it. Chunks and
// staged planes are written under temporary names and renamed. Once every
// block is there the staged data is removed. `threads` share each block.
// Returns whether every block is there.
bool make_coarse_levels(const std::string& path, const volume_layout& layout, int threads);

}  // namespace orvane
