// Test helper: writes TIFF files of any sample layout libtiff can store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvane_test {

// One file's layout. Tiles are used when tile_width is non-zero.
struct tiff_form {
    std::uint32_t width = 20;
    std::uint32_t height = 13;
    std::uint16_t bits = 16;
    std::uint16_t format = 1;  // SAMPLEFORMAT_UINT, _INT (2) or _IEEEFP (3)
    std::uint16_t samples = 1;
    bool planar = false;
    std::uint32_t tile_width = 0;
    std::uint32_t tile_length = 0;
    std::uint32_t rows_per_strip = 4;
    std::uint16_t pages = 1;
    std::uint16_t compression = 1;  // COMPRESSION_NONE; 5 is LZW
    bool big_endian = false;
    bool bigtiff = false;
    // When not empty, the samples of channel 0 on page 0, row after row
    // (repeated as far as needed), in place of the generated ones.
    std::vector<double> values;
};

// The sample written at (x, y) of channel c on page p: distinct per position,
// channel and page, and reaching the top bits of every depth.
double sample_value(const tiff_form& form, std::uint32_t x, std::uint32_t y, std::uint16_t c,
                    std::uint16_t p);

// The 16-bit value a faithful reader gives for sample_value(form, x, y, 0, 0):
// the value where it lies in 0..65535 (floats truncated), else the nearer end
// of that range; NaN gives 0.
std::uint16_t expected_pixel(const tiff_form& form, std::uint32_t x, std::uint32_t y);

// Writes form to path with libtiff; throws std::runtime_error on failure.
void write_form(const std::string& path, const tiff_form& form);

}  // namespace orvane_test
