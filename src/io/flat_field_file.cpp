// Writing the flat field through libtiff, and reading one back with every way it can be unfit
// named.
#include "io/flat_field_file.hpp"

#include "io/tiff_file.hpp"
#include "io/tiff_source.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace orvane {

namespace {

void write_page(tiff_file& file, const flat_field& field, const std::vector<float>& values,
                const char* name)
{
    file.set(TIFFTAG_IMAGEWIDTH, "ImageWidth", field.width);
    file.set(TIFFTAG_IMAGELENGTH, "ImageLength", field.height);
    file.set(TIFFTAG_ORIENTATION, "Orientation", ORIENTATION_TOPLEFT);
    file.set(TIFFTAG_SAMPLESPERPIXEL, "SamplesPerPixel", 1);
    file.set(TIFFTAG_SAMPLEFORMAT, "SampleFormat", SAMPLEFORMAT_IEEEFP);
    file.set(TIFFTAG_BITSPERSAMPLE, "BitsPerSample", 32);
    file.set(TIFFTAG_PLANARCONFIG, "PlanarConfiguration", PLANARCONFIG_CONTIG);
    file.set(TIFFTAG_PHOTOMETRIC, "PhotometricInterpretation", PHOTOMETRIC_MINISBLACK);
    file.set(TIFFTAG_COMPRESSION, "Compression", COMPRESSION_NONE);
    file.set(TIFFTAG_ROWSPERSTRIP, "RowsPerStrip", field.height);
    file.set(TIFFTAG_PAGENAME, "PageName", name);
    const auto bytes = static_cast<tmsize_t>(values.size() * sizeof(float));
    file.begin();
    // libtiff swaps a float strip in place on a big-endian host: a copy.
    std::vector<float> strip(values);
    file.check(TIFFWriteEncodedStrip(file.handle(), 0, strip.data(), bytes) == bytes,
               std::string("write the ") + name);
}

std::uint32_t field_of(TIFF* tif, ttag_t tag, std::uint32_t otherwise)
{
    std::uint32_t value = 0;
    return TIFFGetField(tif, tag, &value) == 1 ? value : otherwise;
}

std::uint16_t short_field(TIFF* tif, ttag_t tag, std::uint16_t otherwise)
{
    std::uint16_t value = 0;
    return TIFFGetFieldDefaulted(tif, tag, &value) == 1 ? value : otherwise;
}

// Page `page` (0: S, 1: D) into values, the page's form checked first.
void read_page(const tiff_source& source, int page, tile_size tile, std::vector<float>& values)
{
    TIFF* tif = source.tif();
    libtiff_messages& messages = source.messages();
    const std::string which = page == 0 ? "page 1 (the flat field S)" : "page 2 (the dark field D)";
    if (TIFFSetDirectory(tif, static_cast<tdir_t>(page)) != 1)
        fail_tiff_read("cannot read " + which, messages);
    const std::uint32_t width = field_of(tif, TIFFTAG_IMAGEWIDTH, 0);
    const std::uint32_t height = field_of(tif, TIFFTAG_IMAGELENGTH, 0);
    if (width != tile.width || height != tile.height)
        fail_tiff_read(which + " is " + std::to_string(width) + " x " + std::to_string(height) +
                           " pixels where the tiles are " + std::to_string(tile.width) + " x " +
                           std::to_string(tile.height),
                       messages);
    const std::uint16_t samples = short_field(tif, TIFFTAG_SAMPLESPERPIXEL, 0);
    const std::uint16_t bits = short_field(tif, TIFFTAG_BITSPERSAMPLE, 0);
    const std::uint16_t format = short_field(tif, TIFFTAG_SAMPLEFORMAT, 0);
    if (samples != 1 || bits != 32 || format != SAMPLEFORMAT_IEEEFP)
        fail_tiff_read(which + " holds " + std::to_string(samples) + " sample(s) of " +
                           std::to_string(bits) + " bits" +
                           (format == SAMPLEFORMAT_IEEEFP ? " (floating point)" : " (integers)") +
                           " where a flat field holds one 32-bit floating-point sample per pixel",
                       messages);
    if (TIFFIsTiled(tif))
        fail_tiff_read(which + " is stored in tiles; a flat field is read in strips", messages);
    values.resize(static_cast<std::size_t>(width) * height);
    if (TIFFScanlineSize64(tif) != static_cast<std::uint64_t>(width) * sizeof(float))
        fail_tiff_read(which + " has rows of an unexpected size", messages);
    for (std::uint32_t y = 0; y < height; ++y)
        if (TIFFReadScanline(tif, values.data() + static_cast<std::size_t>(y) * width, y, 0) != 1)
            fail_tiff_read("cannot read row " + std::to_string(y) + " of " + which, messages);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const float v = values[i];
        if (!std::isfinite(v) || (page == 0 && v <= 0.0f))
            fail_tiff_read(
                which + " holds " +
                    (std::isfinite(v) ? std::to_string(v) : "a value that is no finite number") +
                    " at x " + std::to_string(i % width) + ", y " + std::to_string(i / width) +
                    (page == 0 ? ", where every value must be positive: tiles are divided by it"
                               : ", where every value must be a finite number"),
                messages);
    }
}

}  // namespace

unsynced_file write_flat_field(const std::string& path, const flat_field& field)
{
    tiff_file file(path);
    file.open(false);
    write_page(file, field, field.flat, "flat field S");
    file.begin();
    file.check(TIFFWriteDirectory(file.handle()) == 1, "write the first directory");
    write_page(file, field, field.dark, "dark field D");
    return file.finish();
}

flat_field read_flat_field(const std::string& path, tile_size tile)
{
    libtiff_messages messages;
    const tiff_source source(path, messages);
    const tdir_t pages = TIFFNumberOfDirectories(source.tif());
    if (pages != 2)
        fail_tiff_read("it has " + std::to_string(pages) +
                           " page(s) where a flat field has two: S, then D",
                       messages);
    flat_field field;
    field.width = tile.width;
    field.height = tile.height;
    read_page(source, 0, tile, field.flat);
    read_page(source, 1, tile, field.dark);
    return field;
}

std::string flat_field_identity(const flat_field& field)
{
    std::uint64_t hash = 14695981039346656037ull;
    const auto add = [&hash](const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i)
            hash = (hash ^ bytes[i]) * 1099511628211ull;
    };
    add(&field.width, sizeof field.width);
    add(&field.height, sizeof field.height);
    add(field.flat.data(), field.flat.size() * sizeof(float));
    add(field.dark.data(), field.dark.size() * sizeof(float));
    static const char digits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i, hash >>= 4)
        text[static_cast<std::size_t>(i)] = digits[hash & 15];
    return text;
}

}  // namespace orvane
