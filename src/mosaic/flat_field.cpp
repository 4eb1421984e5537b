// Correcting tiles by the sensor's flat and dark fields, and estimating both from the tiles.
#include "mosaic/flat_field.hpp"

#include "base/avx2_clones.hpp"
#include "base/error.hpp"
#include "base/parallel.hpp"

#include <algorithm>
#include <string>

namespace orvane {

// Every pixel of a corrected slice passes here.
ORVANE_AVX2_CLONES
void correct_row(const flat_field& field, std::uint32_t y, std::uint32_t x0, std::uint16_t* pixels,
                 std::uint32_t count)
{
    const std::size_t at = std::size_t{y} * field.width + x0;
    const float* const s = field.flat.data() + at;
    const float* const d = field.dark.data() + at;
#pragma omp simd
    for (std::uint32_t x = 0; x < count; ++x) {
        // S is positive wherever the file or the estimate gives it; a zero
        // would make an infinity that the clamp turns into 65535.
        const float v = (static_cast<float>(pixels[x]) - d[x]) / s[x];
        pixels[x] = static_cast<std::uint16_t>(std::clamp(v + 0.5f, 0.0f, 65535.0f));
    }
}

void correct_tile(const flat_field& field, image& tile, int threads)
{
    if (static_cast<std::uint32_t>(tile.width()) != field.width ||
        static_cast<std::uint32_t>(tile.height()) != field.height)
        throw error(failure_kind::read, "",
                    "a tile of " + std::to_string(tile.width()) + " x " +
                        std::to_string(tile.height()) +
                        " pixels cannot be corrected by a flat "
                        "field of " +
                        std::to_string(field.width) + " x " + std::to_string(field.height));
    std::uint16_t* const pixels = tile.data();
    parallel_for(field.height, threads, loop_schedule::blocks, [&](std::int64_t y) {
        correct_row(field, static_cast<std::uint32_t>(y), 0,
                    pixels + static_cast<std::size_t>(y) * field.width, field.width);
    });
}

}  // namespace orvane
