// What takes an image band by band, top to bottom, as it is decoded.
#pragma once

#include <cstdint>

namespace orvane {

// Takes a tile band by band, top to bottom, as it is decoded.
class row_sink {
public:
    virtual ~row_sink() = default;
    // The tile's size, before any rows.
    virtual void begin(std::uint32_t width, std::uint32_t height) = 0;
    // Room for rows [y0, y0 + count), width values each, one row after the
    // other; it may be the same memory for every band.
    virtual std::uint16_t* room(std::uint32_t y0, std::uint32_t count) = 0;
    // Those rows, now decoded in the room given for them.
    virtual void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* pixels) = 0;
};

}  // namespace orvane
