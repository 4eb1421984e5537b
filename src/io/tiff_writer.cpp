// Strip TIFF writer: libtiff lays out the file, strips are encoded here, in parallel if asked.
#include "io/tiff_writer.hpp"

#include "base/error.hpp"
#include "base/parallel.hpp"
#include "compat/library_conventions.hpp"
#include "io/tiff_file.hpp"
#include "platform/huge_pages.hpp"
#include "platform/platform.hpp"

#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace orvane {

namespace {

unsynced_file write_empty_file(const std::string& path)
{
    const int fd = platform::create_for_writing(path);
    if (fd < 0)
        throw error(failure_kind::write, path, "cannot create: " + platform::error_text(errno));
    return unsynced_file(path, fd);
}

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

// The smallest and largest sample. Sixteen running minima and maxima, one
// per lane, make a loop the compiler turns into vector instructions (a
// reduction over one variable it leaves scalar). Baseline x86-64 has no
// unsigned 16-bit minimum, so a version for AVX2 is chosen at load time
// where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
__attribute__((target_clones("avx2", "default")))
#endif
void sample_range(const std::uint16_t* pixels, std::size_t count, std::uint16_t& low,
                  std::uint16_t& high)
{
    constexpr std::size_t lanes = 16;
    std::uint16_t lane_low[lanes], lane_high[lanes];
    for (std::size_t j = 0; j < lanes; ++j) {
        lane_low[j] = 65535;
        lane_high[j] = 0;
    }
    std::size_t i = 0;
    for (; i + lanes <= count; i += lanes)
        for (std::size_t j = 0; j < lanes; ++j) {
            const std::uint16_t v = pixels[i + j];
            lane_low[j] = v < lane_low[j] ? v : lane_low[j];
            lane_high[j] = v > lane_high[j] ? v : lane_high[j];
        }
    for (std::size_t j = 0; j < lanes; ++j) {
        low = std::min(low, lane_low[j]);
        high = std::max(high, lane_high[j]);
    }
    for (; i < count; ++i) {
        low = std::min(low, pixels[i]);
        high = std::max(high, pixels[i]);
    }
}

// The encoded strips of one batch: strip first + k in slot k, slot_bytes long.
struct batch_buffer {
    std::size_t slot_bytes;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    // Only the encoder writes it, and only what it wrote is read: it needs no
    // clearing, and huge pages (for the megabytes of a parallel write) spare
    // fresh memory most of its faults.
    huge_array<std::uint8_t> encoded;
    std::vector<std::size_t> sizes;
    // Each strip's sample range, taken while the strip is in cache for the encoder.
    std::vector<std::uint16_t> lows, highs;

    batch_buffer(std::uint32_t slots, std::size_t bytes_per_slot)
        : slot_bytes(bytes_per_slot),
          encoded(make_large_array<std::uint8_t>(slots * bytes_per_slot)), sizes(slots),
          lows(slots), highs(slots)
    {
    }
    void reset(std::uint32_t first_strip, std::uint32_t strips)
    {
        first = first_strip;
        count = strips;
        std::fill(lows.begin(), lows.begin() + strips, std::uint16_t{65535});
        std::fill(highs.begin(), highs.begin() + strips, std::uint16_t{0});
    }
    void widen(std::uint16_t& low, std::uint16_t& high) const
    {
        for (std::uint32_t slot = 0; slot < count; ++slot) {
            low = std::min(low, lows[slot]);
            high = std::max(high, highs[slot]);
        }
    }
};

// Input bytes encoded per batch when strips are encoded in parallel: enough
// strips to keep the threads busy, few enough to bound the buffers. A small
// image is cut into at least this many batches, so that writing one batch
// overlaps the encoding of the next for most of the file.
constexpr std::size_t batch_input_bytes = std::size_t{1} << 20;
constexpr std::size_t min_batches = 8;
// Writeback is started every few MiB so the device works while the next
// strips are encoded, and a sync later finds little left to do.
constexpr std::size_t writeback_bytes = std::size_t{4} << 20;

// Encodes the strips of one image in batches and writes them in order.
class strip_writer {
public:
    strip_writer(tiff_file& file, const strip_plan& plan, const strip_codec& codec, int threads)
        : file_(file), plan_(plan), codec_(codec), threads_(std::max(1, threads)),
          batch_(batch_strips()), slot_bytes_(codec.bound(plan.size(0)))
    {
    }

    // Every strip, then the sample range tags.
    void write_all()
    {
        if (threads_ > 1 && !omp_in_parallel())
            write_pipelined();
        else
            write_in_turn();
        // The directory is written at the close, sorted by tag: setting the
        // range last changes nothing in the file.
        file_.set(TIFFTAG_SMINSAMPLEVALUE, "SMinSampleValue", static_cast<double>(low_));
        file_.set(TIFFTAG_SMAXSAMPLEVALUE, "SMaxSampleValue", static_cast<double>(high_));
    }

private:
    std::uint32_t batch_strips() const
    {
        if (threads_ == 1)
            return 1;
        const std::size_t image_bytes = std::size_t{plan_.height} * plan_.row_bytes;
        const std::size_t batch_bytes = std::min(batch_input_bytes, image_bytes / min_batches);
        const std::size_t by_size = std::max<std::size_t>(1, batch_bytes / plan_.size(0));
        return static_cast<std::uint32_t>(std::min<std::size_t>(
            plan_.count, std::max<std::size_t>(by_size, 4 * static_cast<std::size_t>(threads_))));
    }

    std::uint32_t batches() const { return (plan_.count + batch_ - 1) / batch_; }

    void encode(batch_buffer& buffer, std::uint32_t slot) const
    {
        const std::uint32_t strip = buffer.first + slot;
        const std::uint8_t* bytes = plan_.bytes + plan_.offset(strip);
        sample_range(reinterpret_cast<const std::uint16_t*>(bytes),
                     plan_.size(strip) / sizeof(std::uint16_t), buffer.lows[slot],
                     buffer.highs[slot]);
        buffer.sizes[slot] = codec_.encode(bytes, plan_.size(strip),
                                           buffer.encoded.get() + slot * buffer.slot_bytes);
    }

    // libtiff takes the data through a non-const pointer but does not change it.
    void write(const batch_buffer& buffer)
    {
        buffer.widen(low_, high_);
        for (std::uint32_t slot = 0; slot < buffer.count; ++slot) {
            const auto size = static_cast<tmsize_t>(buffer.sizes[slot]);
            file_.begin();
            file_.check(TIFFWriteRawStrip(file_.handle(), buffer.first + slot,
                                          buffer.encoded.get() + slot * slot_bytes_, size) == size,
                        "write");
            unsynced_ += buffer.sizes[slot];
        }
        if (unsynced_ >= writeback_bytes) {
            file_.start_writeback();
            unsynced_ = 0;
        }
    }

    // Inside a parallel region (a slice worker's) nesting is off, so a nested
    // team would have one thread; tasks instead go to the team's threads that
    // have no slice left.
    void write_in_turn()
    {
        batch_buffer buffer(batch_, slot_bytes_);
        for (std::uint32_t b = 0; b < batches(); ++b) {
            buffer.reset(b * batch_, std::min(batch_, plan_.count - b * batch_));
            loop_failures failures;
            const auto slots = static_cast<std::int64_t>(buffer.count);
            if (threads_ == 1 || buffer.count <= 1) {
                for (std::int64_t slot = 0; slot < slots && !failures.stopped(); ++slot)
                    failures.attempt(slot,
                                     [&] { encode(buffer, static_cast<std::uint32_t>(slot)); });
            } else {
#pragma omp taskloop grainsize(4) shared(buffer, failures)
                for (std::int64_t slot = 0; slot < slots; ++slot)
                    failures.attempt(slot,
                                     [&] { encode(buffer, static_cast<std::uint32_t>(slot)); });
            }
            failures.rethrow_lowest();
            write(buffer);
        }
    }

    void spawn_encoding(batch_buffer& buffer, std::uint32_t b, loop_failures& failures)
    {
        buffer.reset(b * batch_, std::min(batch_, plan_.count - b * batch_));
        batch_buffer* const target = &buffer;
        loop_failures* const record = &failures;
        for (std::uint32_t from = 0; from < buffer.count; from += 4) {
            const std::uint32_t to = std::min(buffer.count, from + 4);
#pragma omp task firstprivate(from, to, target, record)
            for (std::uint32_t slot = from; slot < to; ++slot)
                record->attempt(target->first + slot, [&] { encode(*target, slot); });
        }
    }

    // Two buffers: the strips of one batch are written by one thread while
    // the others encode the next batch.
    void write_pipelined()
    {
        batch_buffer buffers[2] = {batch_buffer(batch_, slot_bytes_),
                                   batch_buffer(batch_, slot_bytes_)};
        loop_failures failures;
        run_team(threads_, [&](int) {
#pragma omp single
            {
#pragma omp taskgroup
                spawn_encoding(buffers[0], 0, failures);
                for (std::uint32_t b = 0; b < batches() && !failures.stopped(); ++b) {
#pragma omp taskgroup
                    {
                        if (b + 1 < batches())
                            spawn_encoding(buffers[(b + 1) % 2], b + 1, failures);
                        if (!failures.stopped())
                            failures.attempt(b * batch_, [&] { write(buffers[b % 2]); });
                    }
                }
            }
        });
        failures.rethrow_lowest();
    }

    tiff_file& file_;
    const strip_plan& plan_;
    const strip_codec& codec_;
    int threads_;
    std::uint32_t batch_;
    std::size_t slot_bytes_;
    std::size_t unsynced_ = 0;
    std::uint16_t low_ = 65535;
    std::uint16_t high_ = 0;
};

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
    strip_writer(file, plan, *options.codec, options.threads).write_all();
    return file.finish();
}

}  // namespace orvane
