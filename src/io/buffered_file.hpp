// A file descriptor behind libtiff's client I/O, with one buffer that turns
// the many strip-sized reads and writes into few large system calls.
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvane {

// libtiff reads and writes one strip per call, each after a seek: for an
// 8 KiB strip that is two system calls per 8 KiB. Here seeks only move a
// position, reads are served from a block read ahead, and writes that follow
// each other are gathered and leave as one call.
//
// A failed write is sticky: once buffered bytes could not be written, every
// later read, write and flush fails with the same errno, so no call can
// report success for data that never reached the file.
class buffered_file {
public:
    // Takes ownership of fd; size is the file's current length.
    buffered_file(int fd, std::uint64_t size, std::size_t capacity);
    ~buffered_file();
    buffered_file(const buffered_file&) = delete;
    buffered_file& operator=(const buffered_file&) = delete;

    // Opens a libtiff handle on this file; the handle must be closed before
    // this object goes away. The handle never maps the file.
    TIFF* open_tiff(const std::string& name, const char* mode, TIFFOpenOptions* options);

    // Writes out what is buffered. False, with errno set, when that failed
    // now or earlier.
    bool flush();

    int fd() const { return fd_; }

    // Hands the descriptor over, unflushed; this object no longer closes it.
    int release();

    // What libtiff's procedures do; -1 with errno set on failure.
    std::int64_t read(void* into, std::size_t count);
    std::int64_t write(const void* from, std::size_t count);
    std::uint64_t seek(std::int64_t offset, int whence);
    std::uint64_t size() const;

private:
    bool failed() const;

    int fd_;
    std::uint64_t position_ = 0;
    std::uint64_t size_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_;
    std::uint64_t buffer_start_ = 0;  // file offset of buffer_[0]
    std::size_t buffered_ = 0;        // bytes of the buffer in use
    bool dirty_ = false;              // the buffer holds bytes not yet written
    int error_ = 0;                   // errno of the write that failed, or 0
};

}  // namespace orvane
