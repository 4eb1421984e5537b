// The sizes of a tile and of a canvas, in the widths each is counted in.
#pragma once

#include <cstdint>

namespace orvane {

// A tile's size as its file gives it.
struct tile_size {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// A canvas or a reduced copy: 64 bits, since option values and the reference
// size may give sizes past 32 bits, which a run refuses before it makes one.
struct image_size {
    std::int64_t width = 0, height = 0;
};

inline bool operator==(image_size a, image_size b)
{
    return a.width == b.width && a.height == b.height;
}

}  // namespace orvane
