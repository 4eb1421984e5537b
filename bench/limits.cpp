// Limit microbenchmarks: what the machine and libtiff allow for the work one
// slice does (tile decode, LZW encode of a mosaic on one core, memcpy), and
// what the program's own encoders take for it on one core.
#include "io/ome_zarr.hpp"
#include "io/tiff_writer.hpp"

#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct settings {
    std::string tile;      // an uncompressed tile
    std::string lzw_tile;  // an LZW tile
    std::string mosaic;    // a mosaic whose pixels are encoded again
    std::string scratch = ".";
    int runs = 5;
    double min_seconds = 0.3;  // each run repeats its work at least this long
};

int usage()
{
    std::fprintf(stderr, "usage: orvane_bench_limits [--tile TIF] [--lzw-tile TIF] [--mosaic TIF]\n"
                         "                           [--scratch DIR] [--runs N]\n"
                         "prints one line per limit: name, MB/s (median of the runs), bytes\n");
    return 1;
}

struct pixels {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint16_t> data;
};

// Reads a 16-bit grey strip TIFF whole, strip by strip. Returns the bytes
// decoded, 0 on failure.
std::size_t read_tiff(const std::string& path, pixels& out)
{
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &out.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &out.height);
    const std::size_t bytes = std::size_t{out.width} * out.height * 2;
    out.data.resize(bytes / 2);
    auto* at = reinterpret_cast<unsigned char*>(out.data.data());
    std::size_t done = 0;
    for (tstrip_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
        const tmsize_t n =
            TIFFReadEncodedStrip(tif, s, at + done, static_cast<tmsize_t>(bytes - done));
        if (n < 0) {
            done = 0;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    TIFFClose(tif);
    return done;
}

// Writes the pixels LZW-compressed in the strip layout the program's mosaics
// use: as many rows per strip as fit in 8 KiB, at least one.
bool write_lzw(const std::string& path, const pixels& in)
{
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        return false;
    const std::uint32_t rows_per_strip = std::max<std::uint32_t>(1, 8192 / (2 * in.width));
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, in.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, in.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    bool ok = true;
    for (std::uint32_t y = 0, strip = 0; y < in.height && ok; y += rows_per_strip, ++strip) {
        const std::uint32_t rows = std::min(rows_per_strip, in.height - y);
        ok = TIFFWriteEncodedStrip(tif, strip,
                                   const_cast<std::uint16_t*>(&in.data[std::size_t{y} * in.width]),
                                   static_cast<tmsize_t>(std::size_t{rows} * in.width * 2)) >= 0;
    }
    TIFFClose(tif);
    return ok;
}

// Runs `work` (which returns the bytes it handled, 0 on failure) repeatedly for
// at least min_seconds per run and returns the median rate over the runs in MB/s.
double median_rate(const settings& s, const std::function<std::size_t()>& work)
{
    std::vector<double> rates;
    for (int run = 0; run < s.runs; ++run) {
        const auto start = clock_type::now();
        double bytes = 0.0, seconds = 0.0;
        do {
            const std::size_t n = work();
            if (n == 0)
                return 0.0;
            bytes += static_cast<double>(n);
            seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        } while (seconds < s.min_seconds);
        rates.push_back(bytes / 1e6 / seconds);
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

void report(const char* name, double rate, std::size_t bytes)
{
    if (rate > 0.0)
        std::printf("%s %.1f %zu\n", name, rate, bytes);
    else
        std::printf("%s failed %zu\n", name, bytes);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char* value = argv[++i];
        if (arg == "--tile")
            s.tile = value;
        else if (arg == "--lzw-tile")
            s.lzw_tile = value;
        else if (arg == "--mosaic")
            s.mosaic = value;
        else if (arg == "--scratch")
            s.scratch = value;
        else if (arg == "--runs")
            s.runs = std::max(1, std::atoi(value));
        else
            return usage();
    }
    TIFFSetWarningHandler(nullptr);

    // Decoding includes opening the file: the program opens every tile once.
    for (const auto& [name, path] :
         {std::pair{"decode_uncompressed", s.tile}, std::pair{"decode_lzw", s.lzw_tile}}) {
        if (path.empty())
            continue;
        pixels tile;
        const std::size_t bytes = read_tiff(path, tile);
        report(name, median_rate(s, [&] { return read_tiff(path, tile); }), bytes);
    }

    if (!s.mosaic.empty()) {
        pixels mosaic;
        const std::size_t bytes = read_tiff(s.mosaic, mosaic);
        if (bytes == 0) {
            report("encode_lzw", 0.0, 0);
            return 1;
        }
        const std::string out = s.scratch + "/limits_encode.tif";
        report("encode_lzw",
               median_rate(s, [&] { return write_lzw(out, mosaic) ? bytes : std::size_t{0}; }),
               bytes);
        std::remove(out.c_str());

        // The program's own writer, and the volume's levels and chunks
        // compressed in memory (what --ome-zarr adds to a slice, the files
        // aside): their ratio bounds what the volume can cost next to the
        // TIFFs.
        report("encode_lzw_orvane",
               median_rate(s,
                           [&] {
                               orvane::write_tiff_unsynced(out, mosaic.data.data(), mosaic.width,
                                                           mosaic.height)
                                   .close(false);
                               return bytes;
                           }),
               bytes);
        std::remove(out.c_str());
        const std::string volume = s.scratch + "/limits_volume.zarr";
        const auto layout =
            orvane::make_volume_layout("limits", 1, {mosaic.width, mosaic.height}, std::nullopt);
        std::filesystem::create_directories(volume);
        orvane::prepare_volume(volume, layout);
        report("encode_volume",
               median_rate(s,
                           [&] {
                               orvane::encode_volume_planes(volume, layout, 0, mosaic.data.data(),
                                                            1);
                               return bytes;
                           }),
               bytes);

        std::filesystem::remove_all(volume);

        std::vector<unsigned char> target(bytes);
        report("memcpy",
               median_rate(s,
                           [&] {
                               std::memcpy(target.data(), mosaic.data.data(), bytes);
                               // The copy is never read: tell the compiler memory
                               // was used so it cannot drop it.
                               asm volatile("" : : "r"(target.data()) : "memory");
                               return bytes;
                           }),
               bytes);
    }
    return 0;
}
