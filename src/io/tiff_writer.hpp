// Writes a 16-bit grey image as a strip TIFF, with every failure reported.
#pragma once

#include "io/strip_codec.hpp"
#include "io/unsynced_file.hpp"
#include "mosaic/voxel_size.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace orvane {

struct tiff_write_options {
    // Threads that encode strips; 1 encodes on the calling thread. Called from
    // inside a parallel region, more than 1 hands strips to that region's idle
    // threads as tasks (no nested team is started).
    int threads = 1;
    // Flush the file's data to the device before closing it.
    bool sync = false;
    // How strips are compressed.
    const strip_codec* codec = &lzw_strip_codec();
    // The pixel size and slice spacing, written as ImageJ writes them for
    // microns: resolution tags of 1 / x and 1 / y pixels per unit with the
    // unit none, and an ImageJ description naming the unit and the spacing.
    // None leaves those tags out, and the file as the library writes it.
    std::optional<voxel_size> calibration = std::nullopt;
};

// Writes width x height pixels (row-major, no padding) to path as one TIFF
// directory of a fixed tag set (see set_tags in tiff_writer.cpp), in strips
// of libtiff's default height for that set, each coded as libtiff's LZW
// encoder codes it: the same pixels always give the same bytes. BigTIFF from
// 2^31 bytes of pixels (needs_bigtiff). An image with no pixels gives an
// empty file. Throws the project's write error naming
// the path and the failed step; a partly written file is left for the caller
// to remove.
void write_tiff(const std::string& path, const std::uint16_t* pixels, std::uint32_t width,
                std::uint32_t height, const tiff_write_options& options = {});

// Writes as write_tiff does (options.sync aside), starting the device on
// the data as it goes, and returns the file open so the caller syncs it when
// it suits.
unsynced_file write_tiff_unsynced(const std::string& path, const std::uint16_t* pixels,
                                  std::uint32_t width, std::uint32_t height,
                                  const tiff_write_options& options = {});

// Whether an image of this size is written as BigTIFF: when its pixel data
// takes 2^31 bytes or more.
bool needs_bigtiff(std::uint32_t width, std::uint32_t height);

}  // namespace orvane
