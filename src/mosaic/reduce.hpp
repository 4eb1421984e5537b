// The reduced copy of a canvas: each pixel the mean of the block it covers.
#pragma once

#include "base/image.hpp"

#include <cstdint>

namespace orvane {

// Shrinks a one-channel, one-slice canvas to floor(width / factor) x
// floor(height / factor) by area averaging, with the pixels the image
// library's resize(width / factor, height / factor, -100, -100, 3) gives:
// columns are averaged first and truncated to 16 bits, then rows, each sum
// formed in single precision in source order. A size of 0 gives an empty
// image, factor 1 a copy. threads > 1 splits the output rows over that many
// OpenMP threads with the same result. Throws std::invalid_argument for a
// factor below 1 or a canvas with several channels or slices.
image reduce_canvas(const image& canvas, std::int32_t factor, int threads = 1);

// The same into a buffer that keeps its memory from one slice to the next:
// into.pixels() is the reduced image (empty for a size of 0).
void reduce_canvas(const image& canvas, std::int32_t factor, int threads, image_buffer& into);

}  // namespace orvane
