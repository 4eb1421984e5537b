// One TIFF file being written through libtiff, every failure of it thrown with its path and step.
#pragma once

#include "io/buffered_file.hpp"
#include "io/unsynced_file.hpp"

#include <tiffio.h>

#include <memory>
#include <string>

namespace orvane {

// What libtiff last reported on a handle; its handlers are per handle, so
// concurrent writers never share them.
struct libtiff_report {
    std::string message;
    int error_number = 0;  // errno when libtiff reported, usually the failed call's
};

// Owns the file and the libtiff handle until the file is closed, so no
// failure leaks either.
class tiff_file {
public:
    explicit tiff_file(const std::string& path) : path_(path) {}
    ~tiff_file();
    tiff_file(const tiff_file&) = delete;
    tiff_file& operator=(const tiff_file&) = delete;

    // Creates the file, classic TIFF or BigTIFF.
    void open(bool bigtiff);

    TIFF* handle() const { return tif_; }

    // Writes out the buffer and starts the device on what is in the page
    // cache without waiting, so a later sync finds little left to do. A
    // failed flush here sticks and is reported by the next write or the
    // close; a failed start of writeback shows up in the sync.
    void start_writeback();

    // Clears what an earlier call left, so a failure is explained by its own call.
    void begin();

    // Throws the failure of operation, explained by libtiff or errno, unless ok.
    void check(bool ok, const std::string& operation);

    // Sets one tag, a failure named by the tag's name.
    void set(ttag_t tag, const char* name, ...);

    // Writes the directory and everything still buffered, and hands over the
    // descriptor of the complete file.
    unsynced_file finish();

    [[noreturn]] void fail(const std::string& operation, const std::string& why) const;

private:
    std::string reason() const;

    // Encoded strips are gathered into writes of this size.
    static constexpr std::size_t write_buffer_bytes = std::size_t{1} << 20;

    std::string path_;
    std::unique_ptr<buffered_file> file_;
    TIFF* tif_ = nullptr;
    libtiff_report report_;
};

}  // namespace orvane
