// The preview picture: a stitched slice, contrast stretched, seams marked, as an 8-bit RGB PNG.
#pragma once

#include "align/tiles.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane::align {

struct rgb_image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> values;  // r, g, b per pixel, row-major
};

// Grey levels stretched linearly between the 0.5 and 99.5 percentiles of the
// pixels that are not 0 (0 is the canvas no tile covers, which would pull
// the dark end down), and each seam column tinted magenta at half strength,
// so the structure across it stays visible.
rgb_image render_preview(const grey_image& image, const std::vector<std::uint32_t>& seams);

class preview_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes the picture with libpng; throws preview_error saying why it failed.
void write_png(const std::string& path, const rgb_image& picture);

}  // namespace orvane::align
