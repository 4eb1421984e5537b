// Conversion of TIFF samples to 16 bits: values kept where they fit, clamped into 0..65535 where
// not.
#include "io/tile_samples.hpp"

#include <tiffio.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <type_traits>

namespace orvane {

namespace {

// One sample as a pixel. Values that fit are kept (floats truncated towards
// zero); the rest go to the nearer end of 0..65535 and are counted, since
// wrapping would turn a slightly negative value into a bright one.
template <class T> std::uint16_t clamp_sample(T value, clamp_tally& tally)
{
    if constexpr (std::is_floating_point_v<T>) {
        if (value >= 0 && value <= 65535)
            return static_cast<std::uint16_t>(value);
        if (value < 0) {
            ++tally.below;
            tally.lowest = std::min(tally.lowest, static_cast<double>(value));
        } else if (value > 65535) {
            ++tally.above;
            tally.highest = std::max(tally.highest, static_cast<double>(value));
            return 65535;
        } else {
            ++tally.not_a_number;
        }
        return 0;
    } else {
        if constexpr (std::is_signed_v<T>) {
            if (value < 0) {
                ++tally.below;
                tally.lowest = std::min(tally.lowest, static_cast<double>(value));
                return 0;
            }
        }
        if constexpr (sizeof(T) > 2) {
            if (value > 65535) {
                ++tally.above;
                tally.highest = std::max(tally.highest, static_cast<double>(value));
                return 65535;
            }
        }
        return static_cast<std::uint16_t>(value);
    }
}

// The loop over a block, once per sample type, so the type is chosen once
// per block and not once per sample.
template <class T>
void convert_rows(const sample_block& block, std::uint16_t* target, std::uint32_t width,
                  clamp_tally& tally)
{
    for (std::uint32_t row = 0; row < block.rows; ++row) {
        const unsigned char* const source = block.bytes + row * block.row_bytes;
        std::uint16_t* const out = target + std::uint64_t{row} * width;
        for (std::uint32_t column = 0; column < block.columns; ++column) {
            T value;
            std::memcpy(&value, source + column * block.pixel_bytes, sizeof value);
            out[column] = clamp_sample(value, tally);
        }
    }
}

// A clamped sample's value as the file held it: floats in their shortest
// exact form (-0.5, 70000.25).
std::string shown(double value, sample_kind kind)
{
    if (kind != sample_kind::f32)
        return std::to_string(static_cast<std::int64_t>(value));
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, static_cast<float>(value)).ptr;
    return std::string(text, end);
}

std::string samples(std::uint64_t count)
{
    return std::to_string(count) + (count == 1 ? " sample" : " samples");
}

}  // namespace

std::string classify_samples(std::uint16_t bits, std::uint16_t format, sample_kind& kind)
{
    // Every format but "unsigned" and "signed" would be taken as one of them
    // by guess, so untyped data would silently change meaning: refuse it.
    const bool is_uint = format == SAMPLEFORMAT_UINT;
    const bool is_int = format == SAMPLEFORMAT_INT;
    if (bits == 8 && (is_uint || is_int))
        kind = is_uint ? sample_kind::u8 : sample_kind::s8;
    else if (bits == 16 && (is_uint || is_int))
        kind = is_uint ? sample_kind::u16 : sample_kind::s16;
    else if (bits == 32 && (is_uint || is_int))
        kind = is_uint ? sample_kind::u32 : sample_kind::s32;
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
    case sample_kind::u16:
    case sample_kind::s16: return 2;
    case sample_kind::u32:
    case sample_kind::s32:
    case sample_kind::f32: return 4;
    }
    return 0;
}

std::string describe_clamping(const clamp_tally& tally, sample_kind kind)
{
    std::string text;
    const auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (tally.below)
        add(samples(tally.below) + " below 0 (min " + shown(tally.lowest, kind) + ") set to 0");
    if (tally.above)
        add(samples(tally.above) + " above 65535 (max " + shown(tally.highest, kind) +
            ") set to 65535");
    if (tally.not_a_number)
        add(samples(tally.not_a_number) + " not a number (NaN) set to 0");
    return text;
}

void copy_block(const sample_block& block, const pixel_window& into, clamp_tally& tally)
{
    std::uint16_t* const target =
        into.pixels + static_cast<std::uint64_t>(into.y0) * into.width + into.x0;
    if (block.kind == sample_kind::u16 && block.pixel_bytes == 2) {
        for (std::uint32_t row = 0; row < block.rows; ++row)
            std::memcpy(target + std::uint64_t{row} * into.width,
                        block.bytes + row * block.row_bytes, std::size_t{block.columns} * 2);
        return;
    }
    const auto convert = [&](auto type) {
        convert_rows<decltype(type)>(block, target, into.width, tally);
    };
    switch (block.kind) {
    case sample_kind::u8: convert(std::uint8_t{}); break;
    case sample_kind::s8: convert(std::int8_t{}); break;
    case sample_kind::u16: convert(std::uint16_t{}); break;
    case sample_kind::s16: convert(std::int16_t{}); break;
    case sample_kind::u32: convert(std::uint32_t{}); break;
    case sample_kind::s32: convert(std::int32_t{}); break;
    case sample_kind::f32: convert(float{}); break;
    }
}

}  // namespace orvane
