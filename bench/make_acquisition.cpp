// Writes a synthetic tiled z-stack: 16-bit tiles with microscopy-like content
// (dark noisy background, bright blurred structures) and the list file naming
// them column after column.
#include <tiffio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

struct settings {
    std::string out;
    int columns = 3;
    int slices = 4;
    std::uint32_t width = 256;
    std::uint32_t height = 192;
    bool lzw = false;
    unsigned seed = 1;
};

struct blob {
    double x, y, z, radius, brightness;
};

int usage()
{
    std::fprintf(stderr,
                 "usage: orvane_make_acquisition -o DIR [-s COLUMNS] [-n SLICES] [-w WIDTH]\n"
                 "                               [-h HEIGHT] [--lzw] [--seed N]\n"
                 "writes DIR/tiles/*.tif and DIR/list.txt\n");
    return 1;
}

bool write_tile(const std::string& path, const settings& s, const std::vector<blob>& blobs,
                int column, int slice, std::mt19937& noise)
{
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, s.lzw ? COMPRESSION_LZW : COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));

    std::normal_distribution<double> background(110.0, 12.0);
    std::vector<std::uint16_t> row(s.width);
    const double origin_x = static_cast<double>(column) * s.width;
    bool ok = true;
    for (std::uint32_t y = 0; y < s.height && ok; ++y) {
        for (std::uint32_t x = 0; x < s.width; ++x) {
            double v = background(noise);
            for (const blob& b : blobs) {
                const double dx = origin_x + x - b.x, dy = y - b.y, dz = (slice - b.z) * 4.0;
                const double d2 = (dx * dx + dy * dy + dz * dz) / (b.radius * b.radius);
                if (d2 < 9.0)
                    v += b.brightness * std::exp(-d2);
            }
            row[x] = static_cast<std::uint16_t>(std::fmin(std::fmax(v, 0.0), 65535.0));
        }
        ok = TIFFWriteScanline(tif, row.data(), y, 0) >= 0;
    }
    TIFFClose(tif);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--lzw")
            s.lzw = true;
        else if (arg == "-o" && has_value)
            s.out = argv[++i];
        else if (arg == "-s" && has_value)
            s.columns = std::atoi(argv[++i]);
        else if (arg == "-n" && has_value)
            s.slices = std::atoi(argv[++i]);
        else if (arg == "-w" && has_value)
            s.width = static_cast<std::uint32_t>(std::atoi(argv[++i]));
        else if (arg == "-h" && has_value)
            s.height = static_cast<std::uint32_t>(std::atoi(argv[++i]));
        else if (arg == "--seed" && has_value)
            s.seed = static_cast<unsigned>(std::atoi(argv[++i]));
        else
            return usage();
    }
    if (s.out.empty() || s.columns < 1 || s.slices < 1 || s.width < 1 || s.height < 1)
        return usage();

    TIFFSetWarningHandler(nullptr);
    const std::string tiles = s.out + "/tiles";
    std::error_code error;
    std::filesystem::create_directories(tiles, error);

    std::mt19937 rng(s.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<blob> blobs;
    const int blob_count = 6 * s.columns;
    for (int b = 0; b < blob_count; ++b)
        blobs.push_back({unit(rng) * s.width * s.columns, unit(rng) * s.height,
                         unit(rng) * s.slices, 4.0 + unit(rng) * s.height / 10.0,
                         2000.0 + unit(rng) * 30000.0});

    std::ofstream list(s.out + "/list.txt");
    for (int column = 0; column < s.columns; ++column) {
        for (int slice = 0; slice < s.slices; ++slice) {
            char name[64];
            std::snprintf(name, sizeof name, "tile_c%02d_z%04d.tif", column, slice);
            const std::string path = tiles + "/" + name;
            if (!write_tile(path, s, blobs, column, slice, rng)) {
                std::fprintf(stderr, "orvane_make_acquisition: cannot write %s\n", path.c_str());
                return 1;
            }
            list << path << "\n";
        }
    }
    return list.good() ? 0 : 1;
}
