// The acquisition: a run's tile names, how they map to tile columns and slices, and the reference
// tile's size.
#pragma once

#include "mosaic/sizes.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// Slice count: names / columns, done unsigned, so a negative column count
// gives 0. columns must not be 0.
std::int32_t count_slices(std::size_t name_count, std::int32_t columns);

// The tiles of a run. The names come column after column: with S slices,
// name j * S + k is tile column j of slice k, and names past the last whole
// column are never used. The reference tile (the first name) gives every
// tile's expected size; it is 0 x 0 where no tile is read (a plan).
class acquisition {
public:
    acquisition(std::vector<std::string> names, std::int32_t columns, tile_size reference);

    const std::vector<std::string>& names() const { return names_; }
    std::int32_t columns() const { return columns_; }
    std::int32_t slice_count() const { return slice_count_; }
    tile_size reference() const { return reference_; }

    // The tile of column j of slice k.
    const std::string& tile_name(std::int32_t column, std::int32_t slice_index) const;

private:
    std::vector<std::string> names_;
    std::int32_t columns_ = 0;
    std::int32_t slice_count_ = 0;
    tile_size reference_;
};

}  // namespace orvane
