// Tile names are checked before anything is read; TIFFs go to the own reader, other formats to the
// library.
#include "io/tile_loader.hpp"

#include "base/error.hpp"
#include "io/payload_check.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <new>

namespace orvane {

namespace {

[[noreturn]] void fail_read(const std::string& name, const std::string& reason)
{
    throw error(failure_kind::read, name, reason);
}

// "scheme://", scheme being a letter then letters, digits, '+', '-' or '.'.
bool is_web_address(const std::string& name)
{
    const std::size_t colon = name.find("://");
    if (colon == std::string::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(name[0])))
        return false;
    return std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

// Extensions the library hands to an external program through a shell even
// when system calls are off.
bool needs_external_program(const std::string& name)
{
    std::string extension = cimg_library::cimg::split_filename(name.c_str());
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const char* const external[] = {"pdf", "arw", "cr2", "crw", "dcr", "dng", "mrw",
                                           "nef", "orf", "pix", "ptx", "raf", "srf"};
    return std::any_of(std::begin(external), std::end(external),
                       [&](const char* e) { return extension == e; });
}

// Shows a NUL as \0 so the report names what the list file held.
std::string printable(const std::string& name)
{
    std::string shown;
    for (char c : name)
        shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    return shown;
}

// The checks every tile name passes before anything is read; true when the
// file holds a TIFF signature, which the project's own reader takes.
bool check_tile(const std::string& name)
{
    // A C string stops at the first NUL: the rest of the name would be lost
    // and a different file read.
    if (name.find('\0') != std::string::npos)
        fail_read(printable(name), "the name holds a NUL byte");
    if (is_web_address(name))
        fail_read(name, "web addresses are not read");
    if (platform::status_of(name).directory)
        fail_read(name, "it is a directory");

    // Opening never waits, so a FIFO or a device in the list cannot hang the
    // run; what was opened must be a plain file (a link to one is fine).
    const int fd = platform::open_for_reading(name);
    if (fd < 0)
        throw error(failure_kind::open, name, platform::error_text(errno));
    if (!platform::status_of_open(fd).regular) {
        platform::close_file(fd);
        fail_read(name, "it is not a regular file (a FIFO, a device or a socket)");
    }
    unsigned char signature[4] = {};
    const std::int64_t got = platform::read_at(fd, signature, sizeof signature, 0);
    platform::close_file(fd);
    return got > 0 && has_tiff_signature(signature, static_cast<std::size_t>(got));
}

// Runs the TIFF reader; memory it cannot get is a failure to read this tile.
template <class Read> void read_tiff(const std::string& name, Read read)
{
    try {
        read();
    } catch (const std::bad_alloc&) {
        fail_read(name, "out of memory");
    }
}

// The library's own loader, for formats other than TIFF; its errors become
// the project's, with its message kept.
void load_with_library(const std::string& name, image& loaded)
{
    // The library fills what a file cut short lacks with zeros or whatever
    // its buffer held, and says nothing.
    const std::string missing = missing_pixels(name);
    if (!missing.empty())
        fail_read(name, missing);
    try {
        loaded.load(name.c_str());
    } catch (const cimg_library::CImgIOException& e) {
        throw error(failure_kind::library_io, name, e.what());
    } catch (const cimg_library::CImgInstanceException& e) {
        throw error(failure_kind::library_instance, name, e.what());
    } catch (const cimg_library::CImgArgumentException& e) {
        throw error(failure_kind::library_argument, name, e.what());
    }
}

}  // namespace

image load_tile(const std::string& name)
{
    image_buffer tile;
    load_tile(name, tile);
    return image(tile.pixels(), false);
}

bool stream_tile(const std::string& name, row_sink& sink)
{
    if (!check_tile(name))
        return false;
    read_tiff(name, [&] { read_tiff_rows(name, sink); });
    return true;
}

void load_tile(const std::string& name, image_buffer& into)
{
    if (check_tile(name)) {
        // Straight into the image: no second copy of the pixels, and no
        // zero fill, since the reader writes every pixel or throws.
        read_tiff(name, [&] {
            read_tiff_tile(name, [&](std::uint32_t width, std::uint32_t height) {
                return into.resize(width, height);
            });
        });
        return;
    }
    if (needs_external_program(name))
        fail_read(name, "this format is read only by an external program, which is never run");
    // Other formats may give several slices or channels; the copy keeps them all.
    image loaded;
    load_with_library(name, loaded);
    std::uint16_t* const pixels = into.resize(
        static_cast<std::uint32_t>(loaded.width()), static_cast<std::uint32_t>(loaded.height()),
        static_cast<std::uint32_t>(loaded.depth()), static_cast<std::uint32_t>(loaded.spectrum()));
    std::copy(loaded.begin(), loaded.end(), pixels);
}

tile_size load_tile_size(const std::string& name)
{
    image_buffer tile;
    load_tile(name, tile);
    return {static_cast<std::uint32_t>(tile.pixels().width()),
            static_cast<std::uint32_t>(tile.pixels().height())};
}

}  // namespace orvane
