// Strip TIFF writer: the file's tags and layout through libtiff, the strips handed to strip_writer.
#include "io/tiff_writer.hpp"

#include "base/error.hpp"
#include "compat/library_conventions.hpp"
#include "io/strip_writer.hpp"
#include "io/tiff_file.hpp"
#include "platform/platform.hpp"

#include <tiffio.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace orvane {

namespace {

unsynced_file write_empty_file(const std::string& path)
{
    const int fd = platform::create_for_writing(path);
    if (fd < 0)
        throw error(failure_kind::write, path, "cannot create: " + platform::error_text(errno));
    return unsynced_file(path, fd);
}

// The tag set of every file, set in this order with these types: the order
// of the calls decides what libtiff's default strip height sees, and the
// types decide the field types written. Returns the rows per strip, libtiff's
// default for the tags before it.
std::uint32_t set_tags(tiff_file& file, std::uint32_t width, std::uint32_t height,
                       const strip_codec& codec)
{
    file.set(TIFFTAG_IMAGEWIDTH, "ImageWidth", width);
    file.set(TIFFTAG_IMAGELENGTH, "ImageLength", height);
    file.set(TIFFTAG_ORIENTATION, "Orientation", ORIENTATION_TOPLEFT);
    file.set(TIFFTAG_SAMPLESPERPIXEL, "SamplesPerPixel", 1);
    file.set(TIFFTAG_SAMPLEFORMAT, "SampleFormat", SAMPLEFORMAT_UINT);
    file.set(TIFFTAG_BITSPERSAMPLE, "BitsPerSample", 16);
    file.set(TIFFTAG_PLANARCONFIG, "PlanarConfiguration", PLANARCONFIG_CONTIG);
    file.set(TIFFTAG_PHOTOMETRIC, "PhotometricInterpretation", PHOTOMETRIC_MINISBLACK);
    file.set(TIFFTAG_COMPRESSION, "Compression", static_cast<int>(codec.compression_tag));
    const std::uint32_t rows_per_strip =
        TIFFDefaultStripSize(file.handle(), static_cast<std::uint32_t>(-1));
    file.set(TIFFTAG_ROWSPERSTRIP, "RowsPerStrip", rows_per_strip);
    file.set(TIFFTAG_FILLORDER, "FillOrder", FILLORDER_MSB2LSB);
    file.set(TIFFTAG_SOFTWARE, "Software", software_tag);
    return rows_per_strip;
}

// The shortest decimal text that reads back as the same double.
std::string number_text(double value)
{
    char text[32];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value)
            break;
    }
    return text;
}

// ImageJ takes a file whose description begins "ImageJ=" as its own and
// reads the unit and spacing from its lines; with the unit none, the
// resolution tags are pixels per that unit.
void set_calibration(tiff_file& file, const voxel_size& voxel)
{
    const std::string description =
        "ImageJ=1.54f\nunit=micron\nspacing=" + number_text(voxel.z) + "\n";
    file.set(TIFFTAG_IMAGEDESCRIPTION, "ImageDescription", description.c_str());
    file.set(TIFFTAG_XRESOLUTION, "XResolution", 1.0 / voxel.x);
    file.set(TIFFTAG_YRESOLUTION, "YResolution", 1.0 / voxel.y);
    file.set(TIFFTAG_RESOLUTIONUNIT, "ResolutionUnit", RESUNIT_NONE);
}

}  // namespace

bool needs_bigtiff(std::uint32_t width, std::uint32_t height)
{
    return static_cast<std::uint64_t>(width) * height * sizeof(std::uint16_t) >=
           (std::uint64_t{1} << 31);
}

void write_tiff(const std::string& path, const std::uint16_t* pixels, std::uint32_t width,
                std::uint32_t height, const tiff_write_options& options)
{
    unsynced_file written = write_tiff_unsynced(path, pixels, width, height, options);
    written.close(options.sync);
}

unsynced_file write_tiff_unsynced(const std::string& path, const std::uint16_t* pixels,
                                  std::uint32_t width, std::uint32_t height,
                                  const tiff_write_options& options)
{
    if (width == 0 || height == 0)
        return write_empty_file(path);
    tiff_file file(path);
    file.open(needs_bigtiff(width, height));
    const std::uint32_t rows_per_strip = set_tags(file, width, height, *options.codec);
    if (options.calibration)
        set_calibration(file, *options.calibration);
    // The samples go out in the machine's byte order, which is the file's:
    // libtiff writes native order.
    const strip_plan plan{
        reinterpret_cast<const std::uint8_t*>(pixels), height,
        static_cast<std::size_t>(width) * sizeof(std::uint16_t), rows_per_strip,
        static_cast<std::uint32_t>((static_cast<std::uint64_t>(height) + rows_per_strip - 1) /
                                   rows_per_strip)};
    const sample_bounds range = write_strips(file, plan, *options.codec, options.threads);
    // The directory is written at the close, sorted by tag: setting the range
    // after the strips changes nothing in the file.
    file.set(TIFFTAG_SMINSAMPLEVALUE, "SMinSampleValue", static_cast<double>(range.low));
    file.set(TIFFTAG_SMAXSAMPLEVALUE, "SMaxSampleValue", static_cast<double>(range.high));
    return file.finish();
}

}  // namespace orvane
