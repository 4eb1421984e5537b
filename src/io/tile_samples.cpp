// Conversion of TIFF samples to 16 bits, the way the image library converts them.
#include "io/tile_samples.hpp"

#include <tiffio.h>

#include <cstring>

namespace orvane {

namespace {

std::uint16_t convert(const unsigned char* sample, sample_kind kind)
{
    switch (kind) {
    case sample_kind::u8: return *sample;
    case sample_kind::s8: return static_cast<std::uint16_t>(static_cast<std::int8_t>(*sample));
    case sample_kind::u16: {
        std::uint16_t value;
        std::memcpy(&value, sample, sizeof value);
        return value;
    }
    case sample_kind::u32: {
        std::uint32_t value;
        std::memcpy(&value, sample, sizeof value);
        return static_cast<std::uint16_t>(value);
    }
    case sample_kind::f32: {
        float value;
        std::memcpy(&value, sample, sizeof value);
        // The library's plain cast is undefined out of range; clamp instead.
        if (!(value > 0.0f))
            return 0;  // also NaN
        if (value >= 65535.0f)
            return 65535;
        return static_cast<std::uint16_t>(value);
    }
    }
    return 0;
}

}  // namespace

std::string classify_samples(std::uint16_t bits, std::uint16_t format, sample_kind& kind)
{
    // The library treats every format but "unsigned" as signed at 8 and 16
    // bits, so untyped data would silently change meaning: refuse it.
    const bool is_uint = format == SAMPLEFORMAT_UINT;
    const bool is_int = format == SAMPLEFORMAT_INT;
    if (bits == 8 && (is_uint || is_int))
        kind = is_uint ? sample_kind::u8 : sample_kind::s8;
    else if (bits == 16 && (is_uint || is_int))
        kind = sample_kind::u16;  // signed values wrap into 16 bits, as the library does
    else if (bits == 32 && (is_uint || is_int))
        kind = sample_kind::u32;  // low 16 bits, as the library keeps
    else if (bits == 32 && format == SAMPLEFORMAT_IEEEFP)
        kind = sample_kind::f32;
    else if (bits != 8 && bits != 16 && bits != 32)
        return std::to_string(bits) + " bits per sample are not supported";
    else
        return "sample format " + std::to_string(format) + " at " + std::to_string(bits) +
               " bits per sample is not supported";
    return "";
}

std::size_t sample_bytes(sample_kind kind)
{
    switch (kind) {
    case sample_kind::u8:
    case sample_kind::s8: return 1;
    case sample_kind::u16: return 2;
    case sample_kind::u32:
    case sample_kind::f32: return 4;
    }
    return 0;
}

void copy_block(const std::vector<unsigned char>& block, std::uint64_t row_bytes,
                std::uint64_t pixel_bytes, std::uint32_t x0, std::uint32_t y0,
                std::uint32_t columns, std::uint32_t rows, sample_kind kind, std::uint16_t* pixels,
                std::uint32_t width)
{
    const bool plain = kind == sample_kind::u16 && pixel_bytes == 2;
    for (std::uint32_t row = 0; row < rows; ++row) {
        const unsigned char* source = block.data() + row * row_bytes;
        std::uint16_t* target = pixels + (static_cast<std::uint64_t>(y0) + row) * width + x0;
        if (plain) {
            std::memcpy(target, source, std::size_t{columns} * 2);
            continue;
        }
        for (std::uint32_t column = 0; column < columns; ++column)
            target[column] = convert(source + column * pixel_bytes, kind);
    }
}

}  // namespace orvane
