// Test helpers: write small TIFF tiles and read files back with libtiff itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvane_test {

struct tiff_image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bits = 0;
    std::uint16_t samples = 0;
    std::uint16_t compression = 0;
    std::vector<std::uint16_t> pixels;  // first sample of each pixel, row-major

    std::uint16_t at(std::uint32_t x, std::uint32_t y) const { return pixels[y * width + x]; }
};

// Writes a one-sample 16-bit grey TIFF whose pixel (x, y) is value(x, y).
void write_tile(const std::string& path, std::uint32_t width, std::uint32_t height,
                const std::function<std::uint16_t(std::uint32_t, std::uint32_t)>& value,
                std::uint16_t compression = 1);

// Reads a 16-bit strip TIFF with libtiff; fails the calling test on error.
tiff_image read_tiff(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// A fresh, empty directory under the system's temporary directory.
std::string make_temp_dir();

}  // namespace orvane_test
