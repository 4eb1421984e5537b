// The samples of a TIFF tile and their conversion to the program's 16-bit pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane {

enum class sample_kind { u8, s8, u16, s16, u32, s32, f32 };

// The kind of samples of bits bits in TIFF sample format `format`: an empty
// text with kind set, or why such samples are not read.
std::string classify_samples(std::uint16_t bits, std::uint16_t format, sample_kind& kind);

std::size_t sample_bytes(sample_kind kind);

// The samples of one tile that did not fit 0..65535 and were clamped into it.
// lowest and highest are meaningful only where below and above are non-zero.
struct clamp_tally {
    std::uint64_t below = 0;         // set to 0
    std::uint64_t above = 0;         // set to 65535
    std::uint64_t not_a_number = 0;  // floats, set to 0
    double lowest = 0;
    double highest = 65535;
};

// What the tally says, for a warning after the tile's name ("5120 samples
// below 0 (min -896) set to 0"), or an empty text when nothing was clamped.
std::string describe_clamping(const clamp_tally& tally, sample_kind kind);

// Part of a decoded block (strip or tile): `rows` rows of `columns` samples
// of the first channel, rows row_bytes apart and pixels pixel_bytes apart.
struct sample_block {
    const unsigned char* bytes = nullptr;
    std::uint64_t row_bytes = 0, pixel_bytes = 0;
    sample_kind kind = sample_kind::u16;
    std::uint32_t columns = 0, rows = 0;
};

// Where a block goes: at (x0, y0) of an image width pixels wide.
struct pixel_window {
    std::uint16_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t x0 = 0, y0 = 0;
};

// Copies the block into the window. Samples below 0 become 0 and those above
// 65535 become 65535, counted in tally. Single-sample 16-bit unsigned rows,
// the common case, are plain copies.
void copy_block(const sample_block& block, const pixel_window& into, clamp_tally& tally);

}  // namespace orvane
