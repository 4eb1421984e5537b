// Telling a complete TIFF file from one cut short, cheaply.
#include "io/tiff_check.hpp"

#include "io/buffered_file.hpp"
#include "platform/platform.hpp"

#include <tiffio.h>

#include <cerrno>
#include <cstdarg>
#include <memory>

namespace orvane {

namespace {

int ignore(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct close_tiff {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};

// The header and a directory are small: a few KiB read at a time.
constexpr std::size_t check_buffer_bytes = std::size_t{4} << 10;

}  // namespace

std::string tiff_damage(const std::string& path)
{
    const platform::file_status status = platform::status_of(path);
    if (status.exists && status.size == 0)
        return "it is empty";
    const int fd = platform::open_for_reading(path);
    if (fd < 0)
        return "it cannot be opened: " + platform::error_text(errno);
    buffered_file file(fd, status.size, check_buffer_bytes);
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return "";  // no memory to look: take it as it is
    TIFFOpenOptionsSetErrorHandlerExtR(options, ignore, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignore, nullptr);
    // "O": strip offsets and sizes are read on demand, so only the last is.
    const std::unique_ptr<TIFF, close_tiff> tif(file.open_tiff(path, "rmO", options));
    TIFFOpenOptionsFree(options);
    if (!tif)
        return "libtiff cannot open it";
    const std::uint32_t strips = TIFFNumberOfStrips(tif.get());
    if (strips == 0)
        return "it holds no strips";
    const std::uint64_t offset = TIFFGetStrileOffset(tif.get(), strips - 1);
    const std::uint64_t bytes = TIFFGetStrileByteCount(tif.get(), strips - 1);
    if (offset == 0 || bytes == 0 || offset + bytes > status.size)
        return "its last strip runs past the end of the file";
    return "";
}

}  // namespace orvane
