// libtiff-based writers and readers for test images.
#include "tiff_io.hpp"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace orvane_test {

void write_tile(const std::string& path, std::uint32_t width, std::uint32_t height,
                const std::function<std::uint16_t(std::uint32_t, std::uint32_t)>& value,
                std::uint16_t compression)
{
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        throw std::runtime_error("cannot create " + path);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    std::vector<std::uint16_t> row(width);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x)
            row[x] = value(x, y);
        if (TIFFWriteScanline(tif, row.data(), y, 0) < 0) {
            TIFFClose(tif);
            throw std::runtime_error("cannot write " + path);
        }
    }
    TIFFClose(tif);
}

tiff_image read_tiff(const std::string& path)
{
    tiff_image image;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) {
        ADD_FAILURE() << "libtiff cannot open " << path;
        return image;
    }
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &image.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &image.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &image.compression);
    if (image.bits != 16) {
        ADD_FAILURE() << path << " has " << image.bits << " bits per sample";
        TIFFClose(tif);
        return image;
    }
    image.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
    std::vector<std::uint16_t> row(static_cast<std::size_t>(image.width) * image.samples);
    for (std::uint32_t y = 0; y < image.height; ++y) {
        if (TIFFReadScanline(tif, row.data(), y, 0) < 0) {
            ADD_FAILURE() << "libtiff cannot read row " << y << " of " << path;
            break;
        }
        for (std::uint32_t x = 0; x < image.width; ++x)
            image.pixels[static_cast<std::size_t>(y) * image.width + x] = row[x * image.samples];
    }
    TIFFClose(tif);
    return image;
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file << bytes;
}

std::string make_temp_dir()
{
    // The system's temporary directory, with forward slashes on every system,
    // so paths built from it read the same in every message.
    static std::mt19937_64 random(std::random_device{}());
    const std::string base = std::filesystem::temp_directory_path().generic_string();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string dir = base + (base.back() == '/' ? "" : "/") + "orvane-test-" +
                                std::to_string(random() % 1000000000);
        if (std::filesystem::create_directory(dir))
            return dir;
    }
    throw std::runtime_error("cannot make a temporary directory");
}

}  // namespace orvane_test
