// Whether a layout can make a mosaic at all, and why not.
#include "mosaic/geometry.hpp"

#include "base/console.hpp"
#include "base/error.hpp"

#include <limits>
#include <utility>

namespace orvane {

namespace {

// Why no canvas of this size can be made, or nothing. Image sides are
// signed 32-bit in the image library, which also takes at most 16 Gi pixels.
std::string why_too_large(image_size mosaic, std::uint64_t memory)
{
    constexpr std::int64_t max_side = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t max_pixels = std::int64_t{1} << 34;
    if (mosaic.width > max_side)
        return "it is wider than " + std::to_string(max_side) + " pixels";
    if (mosaic.height > max_side)
        return "it is taller than " + std::to_string(max_side) + " pixels";
    if (mosaic.width * mosaic.height > max_pixels)
        return "it has more than " + std::to_string(max_pixels) + " pixels";
    const auto bytes = static_cast<std::uint64_t>(mosaic.width * mosaic.height) * 2;
    if (memory != 0 && bytes > memory)
        return "this computer has " + bytes_text(static_cast<double>(memory)) + " of memory";
    return "";
}

}  // namespace

std::string why_no_mosaic(const acquisition& tiles, const mosaic_layout& layout,
                          std::uint64_t memory)
{
    if (tiles.slice_count() <= 0)
        return "";
    // The canvas size is in 64 bits: a product of option values and the
    // reference tile's size can pass any 32-bit type.
    const image_size mosaic = layout.canvas();
    if (mosaic.width <= 0)
        return "the x overlap (-x) " + std::to_string(layout.xoverlap()) +
               " leaves no pixel of a tile " + std::to_string(layout.reference().width) + " wide";
    const std::string why = why_too_large(mosaic, memory);
    if (why.empty())
        return "";
    const double bytes = static_cast<double>(mosaic.width) * static_cast<double>(mosaic.height) * 2;
    return "a mosaic of " + std::to_string(mosaic.width) + " x " + std::to_string(mosaic.height) +
           " pixels (" + bytes_text(bytes) + ") cannot be made: " + why;
}

void refuse_unstitchable(const acquisition& tiles, const mosaic_layout& layout,
                         std::uint64_t memory)
{
    std::string why = why_no_mosaic(tiles, layout, memory);
    if (!why.empty())
        throw error(failure_kind::usage, "", std::move(why));
}

}  // namespace orvane
