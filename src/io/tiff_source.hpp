// An open TIFF file to read, with libtiff's messages about it kept per file.
#pragma once

#include "io/buffered_file.hpp"

#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <string>

namespace orvane {

// The file being read and libtiff's messages about it; each read has its
// own, so parallel reads never share state and nothing is printed.
struct libtiff_messages {
    std::string path;
    std::string first_error;
};

// Throws the read error of the file, with libtiff's first message when it had one.
[[noreturn]] void fail_tiff_read(const std::string& reason, const libtiff_messages& messages);

// a * b, or nothing when the product passes limit.
bool multiply_within(std::uint64_t a, std::uint64_t b, std::uint64_t limit, std::uint64_t& product);

struct close_tiff {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
struct free_options {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

// An open TIFF file, read through a block read ahead: many strips per system
// call. libtiff never maps it ("m"), so a file shortened while we read gives
// an error, not a bus error.
class tiff_source {
public:
    // Opens path, or throws the read error saying why not.
    tiff_source(const std::string& path, libtiff_messages& messages);

    TIFF* tif() const { return tif_.get(); }
    std::uint64_t file_bytes() const { return file_bytes_; }
    libtiff_messages& messages() const { return messages_; }

private:
    libtiff_messages& messages_;
    std::uint64_t file_bytes_ = 0;
    std::unique_ptr<TIFFOpenOptions, free_options> options_;
    std::unique_ptr<buffered_file> file_;
    std::unique_ptr<TIFF, close_tiff> tif_;  // closed before the file
};

}  // namespace orvane
