// The reduced copy of a canvas: each pixel the mean of the block it covers.
#pragma once

#include "base/image.hpp"

#include <cstdint>

namespace orvane {

// Shrinks a one-channel, one-slice canvas to floor(width / factor) x
// floor(height / factor) by area averaging, in two passes: along x, each
// output column is the sum of source value x overlap over the source columns
// it covers, in source order, in single precision, divided by the source
// width and truncated to 16 bits; then the same along y on those 16-bit
// values. Overlaps come from a walk over an unsigned 32-bit unit count (see
// reduce.cpp), so axes whose lengths multiply past 2^32 give what that walk
// gives. A size of 0 gives an empty image, factor 1 a copy. threads > 1 splits the output rows over
// that many OpenMP threads with the same result. Throws std::invalid_argument for a factor below 1
// or a canvas with several channels or slices.
image reduce_canvas(const image& canvas, std::int32_t factor, int threads = 1);

// The same into a buffer that keeps its memory from one slice to the next:
// into.pixels() is the reduced image (empty for a size of 0).
void reduce_canvas(const image& canvas, std::int32_t factor, int threads, image_buffer& into);

}  // namespace orvane
