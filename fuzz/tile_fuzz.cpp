// libFuzzer target: any bytes as a TIFF file, through the tile reader and load_tile.
#include "base/error.hpp"
#include "compat/library_conventions.hpp"
#include "io/tile_loader.hpp"
#include "io/tile_reader.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// One file per fuzzing process, rewritten for each input.
const std::string& input_path()
{
    static const std::string path = [] {
        orvane::configure_image_library();
        return "/tmp/orvane-tile-fuzz-" + std::to_string(::getpid()) + ".tif";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string& path = input_path();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        std::abort();
    if (size && std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);

    std::uint64_t reader_pixels = 0;
    bool reader_ok = false;
    try {
        const orvane::tile_pixels tile = orvane::read_tiff_tile(path);
        if (tile.pixels.size() != std::uint64_t{tile.width} * tile.height || tile.pixels.empty())
            std::abort();  // a partial or empty image must never come back
        reader_pixels = tile.pixels.size();
        reader_ok = true;
    } catch (const orvane::error&) {
    }
    // Other content goes to the image library's own readers, which are not
    // what this target tests.
    if (!orvane::has_tiff_signature(data, size))
        return 0;
    try {
        const orvane::image tile = orvane::load_tile(path);
        if (!reader_ok || tile.size() != reader_pixels)
            std::abort();  // load_tile must give what the reader gives
    } catch (const orvane::error&) {
        if (reader_ok)
            std::abort();
    }
    return 0;
}
