// The sensor's flat and dark fields estimated from the acquisition's own tiles.
#pragma once

#include "base/image.hpp"
#include "mosaic/flat_field.hpp"
#include "mosaic/geometry.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace orvane {

// The tiles of one sampled slice, as read (before the flip), by tile column.
struct flat_field_sample {
    std::int64_t slice = 0;
    std::vector<image> columns;
};

// Which slices the estimate reads: a few spread evenly over the stack, so that
// it reads a small share of a large acquisition and all of a small one.
std::vector<std::int64_t> flat_field_slices(std::int64_t slice_count);

// How many columns of each sampled tile the estimate keeps for its overlap
// equations: at most twice the overlap on the left, where the tile is a
// seam's left one, and on the right those from the registration's reach on.
std::int64_t flat_field_kept_columns(const mosaic_layout& layout);

// Estimates S (mean 1) and D from the sampled tiles: the low-frequency part
// that all tiles share, with the specimen's structure kept out, and the
// overlaps, where one point of the specimen is seen at two places on the
// sensor, holding S's shape across the tile. Depends on the samples alone,
// not on `threads`. A slice with a tile missing or of another size than the
// reference is left out; throws the no_result error when none is left.
flat_field estimate_flat_field(const std::vector<flat_field_sample>& samples,
                               const mosaic_layout& layout, int threads = 1);

// Gives tile column `column` of sampled slice `sample`, as read: loaded into
// `buffer`, or held elsewhere; null when the slice has no such tile.
using flat_field_loader =
    std::function<const image*(std::size_t sample, std::int32_t column, image_buffer& buffer)>;

// The same from `sample_count` slices given one at a time, each read once:
// the estimate holds one slice's tiles at a time, and keeps of every
// sampled tile its overlap strips (twice the overlap wide, plus the
// registration's reach) and its block sums.
flat_field estimate_flat_field(std::size_t sample_count, const flat_field_loader& load,
                               const mosaic_layout& layout, int threads = 1);

}  // namespace orvane
