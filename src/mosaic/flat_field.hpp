// The sensor's flat field and dark field, and the correction of a tile by them.
#pragma once

#include "base/image.hpp"

#include <cstdint>
#include <vector>

namespace orvane {

// What every tile shares from the sensor and its light, in the tile's own
// orientation (as read, before the flip): a tile shows I = S * T + D for the
// specimen's T. flat (S) has mean 1; dark (D) is in pixel values.
struct flat_field {
    std::uint32_t width = 0, height = 0;  // the tile's size
    std::vector<float> flat;              // S, width * height, row after row
    std::vector<float> dark;              // D, width * height, row after row
};

// Row y of a tile as read, corrected in place to (I - D) / S, rounded to
// nearest and clamped to 0..65535. count <= field.width pixels from x0.
void correct_row(const flat_field& field, std::uint32_t y, std::uint32_t x0, std::uint16_t* pixels,
                 std::uint32_t count);

// The same for a whole tile of the field's size. A tile of another size is
// refused, untouched, as one that cannot be read with the field (a read
// error that says both sizes).
void correct_tile(const flat_field& field, image& tile, int threads = 1);

}  // namespace orvane
