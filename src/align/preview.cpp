// Contrast stretch, seam marks and the PNG file of the preview.
#include "align/preview.hpp"

#include <png.h>

#include <algorithm>
#include <cstring>

namespace orvane::align {

namespace {

struct stretch {
    std::uint16_t low = 0, high = 0;
};

// The 0.5 and 99.5 percentiles of the non-zero pixels, from a histogram.
stretch percentiles(const grey_image& image)
{
    std::vector<std::uint64_t> histogram(65536);
    std::uint64_t count = 0;
    for (std::uint16_t v : image.pixels)
        if (v != 0) {
            ++histogram[v];
            ++count;
        }
    stretch s;
    if (count == 0)
        return s;
    const std::uint64_t low_rank = count * 5 / 1000, high_rank = count - 1 - count * 5 / 1000;
    std::uint64_t seen = 0;
    bool low_found = false;
    for (std::uint32_t v = 0; v < histogram.size(); ++v) {
        seen += histogram[v];
        if (!low_found && seen > low_rank) {
            s.low = static_cast<std::uint16_t>(v);
            low_found = true;
        }
        if (seen > high_rank) {
            s.high = static_cast<std::uint16_t>(v);
            break;
        }
    }
    return s;
}

}  // namespace

rgb_image render_preview(const grey_image& image, const std::vector<std::uint32_t>& seams)
{
    rgb_image picture;
    picture.width = image.width;
    picture.height = image.height;
    picture.values.resize(std::size_t{image.width} * image.height * 3);
    const stretch s = percentiles(image);
    const float span = std::max(1.0f, static_cast<float>(s.high) - static_cast<float>(s.low));
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        const float t = (static_cast<float>(image.pixels[i]) - static_cast<float>(s.low)) / span;
        const auto grey = static_cast<std::uint8_t>(std::clamp(t, 0.0f, 1.0f) * 255.0f + 0.5f);
        std::memset(&picture.values[i * 3], grey, 3);
    }
    for (std::uint32_t x : seams) {
        if (x >= image.width)
            continue;
        for (std::uint32_t y = 0; y < image.height; ++y) {
            std::uint8_t* p = &picture.values[(std::size_t{y} * image.width + x) * 3];
            p[0] = static_cast<std::uint8_t>(p[0] / 2 + 128);
            p[1] = static_cast<std::uint8_t>(p[1] / 2);
            p[2] = static_cast<std::uint8_t>(p[2] / 2 + 128);
        }
    }
    return picture;
}

void write_png(const std::string& path, const rgb_image& picture)
{
    if (picture.width == 0 || picture.height == 0)
        throw preview_error("the picture is empty");
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = picture.width;
    image.height = picture.height;
    image.format = PNG_FORMAT_RGB;
    const int ok = png_image_write_to_file(&image, path.c_str(), 0, picture.values.data(),
                                           static_cast<png_int_32>(picture.width * 3), nullptr);
    const std::string message = image.message;
    png_image_free(&image);
    if (!ok)
        throw preview_error(message.empty() ? "libpng could not write it" : message);
}

}  // namespace orvane::align
