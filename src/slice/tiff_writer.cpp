// LZW strip TIFF writer: libtiff lays out the file, strips are encoded here, in parallel if asked.
#include "slice/tiff_writer.hpp"

#include "slice/buffered_file.hpp"
#include "slice/lzw.hpp"

#include <tiffio.h>

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <unistd.h>
#include <vector>

namespace orvane {

namespace {

// What libtiff last reported on this handle; its handlers are per handle, so
// concurrent writers never share them, and returning 1 keeps libtiff's
// process-wide handlers (which print) from running.
struct libtiff_report {
    std::string message;
    int error_number = 0; // errno when libtiff reported, usually the failed call's
};

int on_libtiff_error(TIFF*, void* user_data, const char* module, const char* format,
                     va_list args)
{
    const int saved_errno = errno;
    auto* report = static_cast<libtiff_report*>(user_data);
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    report->message = module ? std::string(module) + ": " + text : std::string(text);
    report->error_number = saved_errno;
    return 1;
}

int on_libtiff_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

std::string errno_text(int error_number)
{
    return std::error_code(error_number, std::generic_category()).message();
}

// Owns the file and the libtiff handle until the file is closed, so no
// failure leaks either.
class tiff_file {
public:
    explicit tiff_file(const std::string& path) : path_(path) {}
    ~tiff_file()
    {
        if (tif_)
            TIFFCleanup(tif_);
    }
    tiff_file(const tiff_file&) = delete;
    tiff_file& operator=(const tiff_file&) = delete;

    void open(bool bigtiff)
    {
        // libtiff's own open uses read-write mode too: it may read back what
        // it wrote.
        const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            fail("create", errno_text(errno));
        file_ = std::make_unique<buffered_file>(fd, 0, write_buffer_bytes);
        TIFFOpenOptions* open_options = TIFFOpenOptionsAlloc();
        if (!open_options)
            fail("create", "out of memory");
        TIFFOpenOptionsSetErrorHandlerExtR(open_options, on_libtiff_error, &report_);
        TIFFOpenOptionsSetWarningHandlerExtR(open_options, on_libtiff_warning, nullptr);
        begin();
        tif_ = file_->open_tiff(path_, bigtiff ? "w8m" : "wm", open_options);
        TIFFOpenOptionsFree(open_options);
        if (!tif_)
            fail("create", reason());
    }

    TIFF* handle() const { return tif_; }

    // Writes out the buffer and starts the device on what is in the page
    // cache without waiting, so a later sync finds little left to do. A
    // failed flush here sticks and is reported by the next write or the
    // close; a failed start of writeback shows up in the sync.
    void start_writeback()
    {
        if (file_->flush())
            ::sync_file_range(file_->fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }

    // Clears what an earlier call left, so a failure is explained by its own call.
    void begin()
    {
        report_ = {};
        errno = 0;
    }

    void check(bool ok, const std::string& operation)
    {
        if (!ok)
            fail(operation, reason());
    }

    // Writes the directory and everything still buffered, and hands over the
    // descriptor of the complete file.
    unsynced_file finish()
    {
        // The strips still buffered go out first, so a failure there is
        // reported as one of the strips and not of the directory.
        begin();
        if (!file_->flush())
            fail("write", errno_text(errno));
        begin();
        check(TIFFWriteDirectory(tif_) == 1, "write the directory of");
        // libtiff's close returns nothing: flush through it and close the
        // descriptor ourselves so every result can be checked.
        begin();
        check(TIFFFlush(tif_) == 1, "flush");
        begin();
        if (!file_->flush())
            fail("write the directory of", errno_text(errno));
        TIFFCleanup(tif_);
        tif_ = nullptr;
        return unsynced_file(path_, file_->release());
    }

    [[noreturn]] void fail(const std::string& operation, const std::string& why) const
    {
        throw std::runtime_error("cannot " + operation + " '" + path_ + "': " + why);
    }

private:
    std::string reason() const
    {
        const int error_number = report_.error_number ? report_.error_number : errno;
        std::string text = error_number ? errno_text(error_number) : std::string();
        if (!report_.message.empty())
            text = text.empty() ? report_.message : text + " (" + report_.message + ")";
        return text.empty() ? "unknown error" : text;
    }

    // Encoded strips are gathered into writes of this size.
    static constexpr std::size_t write_buffer_bytes = std::size_t{1} << 20;

    std::string path_;
    std::unique_ptr<buffered_file> file_;
    TIFF* tif_ = nullptr;
    libtiff_report report_;
};

unsynced_file write_empty_file(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        throw std::runtime_error("cannot create '" + path + "': " + errno_text(errno));
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
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
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
    void reset(std::uint32_t strips)
    {
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

// Encodes one strip into a slot. False when the thread could not get memory
// for its encoder; nothing is thrown, so it may run in a parallel region.
bool encode_strip(const strip_plan& plan, std::uint32_t strip, batch_buffer& buffer,
                  std::uint32_t slot) noexcept
{
    try {
        const std::uint8_t* bytes = plan.bytes + plan.offset(strip);
        sample_range(reinterpret_cast<const std::uint16_t*>(bytes),
                     plan.size(strip) / sizeof(std::uint16_t), buffer.lows[slot],
                     buffer.highs[slot]);
        buffer.sizes[slot] = thread_lzw_encoder().encode(
            bytes, plan.size(strip), buffer.encoded.get() + slot * buffer.slot_bytes);
        return true;
    } catch (...) {
        return false;
    }
}

// Encodes strips [first, first + count) into the buffer, on the calling
// thread or, with threads > 1, as tasks of the enclosing parallel region.
// False when a thread could not get memory for its encoder.
bool encode_strips(const strip_plan& plan, std::uint32_t first, std::uint32_t count,
                   batch_buffer& buffer, int threads)
{
    buffer.reset(count);
    std::atomic<bool> failed{false};
    const auto slots = static_cast<std::int64_t>(count);
    auto encode_one = [&](std::int64_t slot) {
        const auto k = static_cast<std::uint32_t>(slot);
        if (!encode_strip(plan, first + k, buffer, k))
            failed = true;
    };
    if (threads <= 1 || count <= 1) {
        for (std::int64_t slot = 0; slot < slots; ++slot)
            encode_one(slot);
    } else {
        // Inside the slice loop nesting is off, so a nested team would have one
        // thread; tasks instead go to the team's threads that have no slice left.
#pragma omp taskloop grainsize(4)
        for (std::int64_t slot = 0; slot < slots; ++slot)
            encode_one(slot);
    }
    return !failed;
}

// Input bytes encoded per batch when strips are encoded in parallel: enough
// strips to keep the threads busy, few enough to bound the buffers. A small
// image is cut into at least this many batches, so that writing one batch
// overlaps the encoding of the next for most of the file.
constexpr std::size_t batch_input_bytes = std::size_t{1} << 20;
constexpr std::size_t min_batches = 8;

} // namespace

bool needs_bigtiff(std::uint32_t width, std::uint32_t height)
{
    return static_cast<std::uint64_t>(width) * height * sizeof(std::uint16_t) >=
           (std::uint64_t{1} << 31);
}

unsynced_file::unsynced_file(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

unsynced_file::unsynced_file(unsynced_file&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)),
      sync_(std::move(other.sync_))
{
}

unsynced_file& unsynced_file::operator=(unsynced_file&& other) noexcept
{
    if (this != &other) {
        discard();
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
        sync_ = std::move(other.sync_);
    }
    return *this;
}

unsynced_file::~unsynced_file() { discard(); }

void unsynced_file::discard() noexcept
{
    // A sync still running uses the descriptor: it must end before the close.
    wait_for_sync();
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
}

int unsynced_file::wait_for_sync()
{
    return sync_.valid() ? sync_.get() : 0;
}

void unsynced_file::start_sync()
{
    if (fd_ < 0 || sync_.valid())
        return;
    const int fd = fd_;
    try {
        sync_ = std::async(std::launch::async, [fd] { return ::fdatasync(fd) == 0 ? 0 : errno; });
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): close(true) syncs instead.
    }
}

void unsynced_file::close(bool sync)
{
    if (fd_ < 0)
        return;
    const bool started = sync_.valid();
    int error_number = wait_for_sync();
    if (!started && sync && ::fdatasync(fd_) != 0)
        error_number = errno;
    if (error_number != 0) {
        ::close(std::exchange(fd_, -1));
        throw std::runtime_error("cannot sync '" + path_ + "': " + errno_text(error_number));
    }
    if (::close(std::exchange(fd_, -1)) != 0)
        throw std::runtime_error("cannot close '" + path_ + "': " + errno_text(errno));
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
    TIFF* tif = file.handle();

    // The tags in the image library's order and types, so the directory comes
    // out the same.
    auto set = [&](ttag_t tag, const std::string& name, auto... value) {
        file.begin();
        file.check(TIFFSetField(tif, tag, value...) == 1, "set " + name + " of");
    };
    set(TIFFTAG_IMAGEWIDTH, "ImageWidth", width);
    set(TIFFTAG_IMAGELENGTH, "ImageLength", height);
    set(TIFFTAG_ORIENTATION, "Orientation", ORIENTATION_TOPLEFT);
    set(TIFFTAG_SAMPLESPERPIXEL, "SamplesPerPixel", 1);
    set(TIFFTAG_SAMPLEFORMAT, "SampleFormat", SAMPLEFORMAT_UINT);
    set(TIFFTAG_BITSPERSAMPLE, "BitsPerSample", 16);
    set(TIFFTAG_PLANARCONFIG, "PlanarConfiguration", PLANARCONFIG_CONTIG);
    set(TIFFTAG_PHOTOMETRIC, "PhotometricInterpretation", PHOTOMETRIC_MINISBLACK);
    set(TIFFTAG_COMPRESSION, "Compression", COMPRESSION_LZW);
    const std::uint32_t rows_per_strip = TIFFDefaultStripSize(tif, static_cast<std::uint32_t>(-1));
    set(TIFFTAG_ROWSPERSTRIP, "RowsPerStrip", rows_per_strip);
    set(TIFFTAG_FILLORDER, "FillOrder", FILLORDER_MSB2LSB);
    set(TIFFTAG_SOFTWARE, "Software", "CImg");

    // The samples go out in the machine's byte order, which is the file's:
    // libtiff writes native order.
    const strip_plan plan{reinterpret_cast<const std::uint8_t*>(pixels), height,
                          static_cast<std::size_t>(width) * sizeof(std::uint16_t),
                          rows_per_strip,
                          static_cast<std::uint32_t>(
                              (static_cast<std::uint64_t>(height) + rows_per_strip - 1) /
                              rows_per_strip)};
    const std::size_t full_strip_bytes = plan.size(0);
    const int threads = std::max(1, options.threads);
    std::uint32_t batch = 1;
    if (threads > 1) {
        const std::size_t image_bytes = std::size_t{height} * plan.row_bytes;
        const std::size_t batch_bytes = std::min(batch_input_bytes, image_bytes / min_batches);
        const std::size_t by_size = std::max<std::size_t>(1, batch_bytes / full_strip_bytes);
        batch = static_cast<std::uint32_t>(std::min<std::size_t>(
            plan.count, std::max<std::size_t>(by_size, 4 * static_cast<std::size_t>(threads))));
    }
    const std::size_t slot_bytes = lzw_encode_bound(full_strip_bytes);
    const std::uint32_t batches = (plan.count + batch - 1) / batch;

    // Writeback is started every few MiB so the device works while the next
    // strips are encoded, and a sync later finds little left to do.
    constexpr std::size_t writeback_bytes = std::size_t{4} << 20;
    std::size_t unsynced = 0;
    std::uint16_t low = 65535;
    std::uint16_t high = 0;
    // libtiff takes the data through a non-const pointer but does not change it.
    auto write_batch = [&](std::uint32_t first, std::uint32_t count, std::uint8_t* encoded,
                           const std::size_t* sizes) {
        for (std::uint32_t slot = 0; slot < count; ++slot) {
            const auto size = static_cast<tmsize_t>(sizes[slot]);
            file.begin();
            file.check(TIFFWriteRawStrip(tif, first + slot, encoded + slot * slot_bytes, size) ==
                           size,
                       "write");
            unsynced += sizes[slot];
        }
        if (unsynced >= writeback_bytes) {
            file.start_writeback();
            unsynced = 0;
        }
    };

    if (threads > 1 && !omp_in_parallel()) {
        // Two buffers: the strips of one batch are written by one thread while
        // the others encode the next batch.
        batch_buffer buffers[2] = {batch_buffer(batch, slot_bytes), batch_buffer(batch, slot_bytes)};
        std::atomic<bool> failed{false};
        std::exception_ptr error;
#pragma omp parallel num_threads(threads)
#pragma omp single
        {
            auto spawn = [&](std::uint32_t b) {
                const std::uint32_t first = b * batch;
                const std::uint32_t count = std::min(batch, plan.count - first);
                batch_buffer& buffer = buffers[b % 2];
                buffer.reset(count);
                for (std::uint32_t from = 0; from < count; from += 4) {
                    const std::uint32_t to = std::min(count, from + 4);
#pragma omp task firstprivate(first, from, to) shared(buffer, failed, plan)
                    for (std::uint32_t slot = from; slot < to; ++slot)
                        if (!encode_strip(plan, first + slot, buffer, slot))
                            failed = true;
                }
            };
#pragma omp taskgroup
            spawn(0);
            for (std::uint32_t b = 0; b < batches && !error; ++b) {
#pragma omp taskgroup
                {
                    if (b + 1 < batches)
                        spawn(b + 1);
                    // An exception must not leave the parallel region.
                    try {
                        if (failed)
                            file.fail("encode", "out of memory");
                        batch_buffer& buffer = buffers[b % 2];
                        buffer.widen(low, high);
                        write_batch(b * batch, buffer.count, buffer.encoded.get(),
                                    buffer.sizes.data());
                    } catch (...) {
                        error = std::current_exception();
                    }
                }
            }
        }
        if (error)
            std::rethrow_exception(error);
    } else {
        batch_buffer buffer(batch, slot_bytes);
        for (std::uint32_t first = 0; first < plan.count; first += batch) {
            const std::uint32_t count = std::min(batch, plan.count - first);
            if (!encode_strips(plan, first, count, buffer, threads))
                file.fail("encode", "out of memory");
            buffer.widen(low, high);
            write_batch(first, count, buffer.encoded.get(), buffer.sizes.data());
        }
    }
    // The directory is written at the close, sorted by tag: setting the
    // range last changes nothing in the file.
    set(TIFFTAG_SMINSAMPLEVALUE, "SMinSampleValue", static_cast<double>(low));
    set(TIFFTAG_SMAXSAMPLEVALUE, "SMaxSampleValue", static_cast<double>(high));
    return file.finish();
}

} // namespace orvane
