// Encodes an image's strips, in parallel if asked, and writes them to an open TIFF in order.
#pragma once

#include "io/strip_codec.hpp"
#include "io/tiff_file.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace orvane {

// Strip k holds rows [k * rows_per_strip, ...) of the image, the last one shorter.
struct strip_plan {
    const std::uint8_t* bytes;
    std::uint32_t height;
    std::size_t row_bytes;
    std::uint32_t rows_per_strip;
    std::uint32_t count;

    std::size_t offset(std::uint32_t strip) const
    {
        return static_cast<std::size_t>(strip) * rows_per_strip * row_bytes;
    }
    std::size_t size(std::uint32_t strip) const
    {
        const std::uint32_t first_row = strip * rows_per_strip;
        const std::uint32_t rows = std::min(rows_per_strip, height - first_row);
        return static_cast<std::size_t>(rows) * row_bytes;
    }
};

// The smallest and largest sample of an image.
struct sample_bounds {
    std::uint16_t low = 65535;
    std::uint16_t high = 0;
};

// Encodes every strip of plan with codec and writes each to file as a raw
// strip, in order, starting the device on the data every few MiB. On
// threads > 1 strips are encoded in parallel (see tiff_write_options::threads).
// Returns the smallest and largest sample, taken as the strips are encoded.
// Throws the failure of the lowest failing strip.
sample_bounds write_strips(tiff_file& file, const strip_plan& plan, const strip_codec& codec,
                           int threads);

}  // namespace orvane
