// Writing one TIFF file through libtiff with buffered I/O and a report of every failure.
#include "io/tiff_file.hpp"

#include "base/error.hpp"
#include "platform/platform.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace orvane {

namespace {

// Returning 1 keeps libtiff's process-wide handlers (which print) from running.
int on_libtiff_error(TIFF*, void* user_data, const char* module, const char* format, va_list args)
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

}  // namespace

tiff_file::~tiff_file()
{
    if (tif_)
        TIFFCleanup(tif_);
}

void tiff_file::open(bool bigtiff)
{
    const int fd = platform::create_for_writing(path_);
    if (fd < 0)
        fail("create", platform::error_text(errno));
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

void tiff_file::start_writeback()
{
    if (file_->flush())
        platform::start_writeback(file_->fd());
}

void tiff_file::begin()
{
    report_ = {};
    errno = 0;
}

void tiff_file::check(bool ok, const std::string& operation)
{
    if (!ok)
        fail(operation, reason());
}

void tiff_file::set(ttag_t tag, const char* name, ...)
{
    begin();
    va_list values;
    va_start(values, name);
    const int ok = TIFFVSetField(tif_, tag, values);
    va_end(values);
    check(ok == 1, std::string("set ") + name);
}

unsynced_file tiff_file::finish()
{
    // The strips still buffered go out first, so a failure there is
    // reported as one of the strips and not of the directory.
    begin();
    if (!file_->flush())
        fail("write", platform::error_text(errno));
    begin();
    check(TIFFWriteDirectory(tif_) == 1, "write the directory");
    // libtiff's close returns nothing: flush through it and close the
    // descriptor ourselves so every result can be checked.
    begin();
    check(TIFFFlush(tif_) == 1, "flush");
    begin();
    if (!file_->flush())
        fail("write the directory", platform::error_text(errno));
    TIFFCleanup(tif_);
    tif_ = nullptr;
    return unsynced_file(path_, file_->release());
}

void tiff_file::fail(const std::string& operation, const std::string& why) const
{
    throw error(failure_kind::write, path_, "cannot " + operation + ": " + why);
}

std::string tiff_file::reason() const
{
    const int error_number = report_.error_number ? report_.error_number : errno;
    std::string text = error_number ? platform::error_text(error_number) : std::string();
    if (!report_.message.empty())
        text = text.empty() ? report_.message : text + " (" + report_.message + ")";
    return text.empty() ? "unknown error" : text;
}

}  // namespace orvane
