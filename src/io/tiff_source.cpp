// Opening a TIFF file for the tile reader: libtiff over a buffered file, its messages captured.
#include "io/tiff_source.hpp"

#include "base/error.hpp"
#include "io/tile_reader.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace orvane {

namespace {

int capture_error(TIFF*, void* user_data, const char* module, const char* format, va_list args)
{
    auto* messages = static_cast<libtiff_messages*>(user_data);
    if (messages->first_error.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        messages->first_error = module ? std::string(module) + ": " + text : std::string(text);
    }
    return 1;  // handled: libtiff's process-wide handler is not called
}

int ignore_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Bytes read ahead at a time: many strips per system call, and small enough
// to stay in cache while the strips are copied out.
constexpr std::size_t read_buffer_bytes = std::size_t{256} << 10;

}  // namespace

void fail_tiff_read(const std::string& reason, const libtiff_messages& messages)
{
    if (messages.first_error.empty())
        throw error(failure_kind::read, messages.path, reason);
    throw error(failure_kind::read, messages.path,
                reason + " (libtiff: " + messages.first_error + ")");
}

bool multiply_within(std::uint64_t a, std::uint64_t b, std::uint64_t limit, std::uint64_t& product)
{
    if (a != 0 && b > limit / a)
        return false;
    product = a * b;
    return product <= limit;
}

tiff_source::tiff_source(const std::string& path, libtiff_messages& messages) : messages_(messages)
{
    messages.path = path;
    const platform::file_status status = platform::status_of(path);
    if (!status.exists || !status.regular)
        fail_tiff_read("not a regular file", messages);
    file_bytes_ = status.size;
    options_.reset(TIFFOpenOptionsAlloc());
    if (!options_)
        fail_tiff_read("out of memory", messages);
    TIFFOpenOptionsSetErrorHandlerExtR(options_.get(), capture_error, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options_.get(), ignore_warning, nullptr);
    // libtiff's own buffers hold raw (still compressed) data and tag arrays,
    // which a sound file never makes larger than itself.
    TIFFOpenOptionsSetMaxSingleMemAlloc(
        options_.get(), static_cast<tmsize_t>(std::min<std::uint64_t>(
                            file_bytes_ + (std::uint64_t{64} << 20), max_decoded_bytes)));
    const int fd = platform::open_for_reading(path);
    if (fd < 0)
        fail_tiff_read("cannot open it: " + platform::error_text(errno), messages);
    file_ = std::make_unique<buffered_file>(fd, file_bytes_, read_buffer_bytes);
    tif_.reset(file_->open_tiff(path, "rm", options_.get()));
    if (!tif_)
        fail_tiff_read("not a readable TIFF file", messages);
    // libtiff recovers from some damage while it reads the header; pixels
    // behind such a header are not trusted.
    if (!messages.first_error.empty())
        fail_tiff_read("its header is corrupt", messages);
}

}  // namespace orvane
