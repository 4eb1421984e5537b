// Tile loading and the mosaic geometry of a slice.
#include "slice/assemble.hpp"

#include "slice/tile_reader.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sys/stat.h>

namespace orvane {

namespace {

using cimg_library::CImgIOException;

// The description every load error of the library starts with: that of the
// empty image the load was called on.
std::string load_prefix()
{
    return "[instance(0,0,0,0,(nil),non-shared)] CImg<" + std::string(image::pixel_type()) +
           ">::load(): ";
}

[[noreturn]] void fail_read(const std::string& name, const std::string& reason)
{
    throw CImgIOException("%sFailed to read file '%s': %s.", load_prefix().c_str(), name.c_str(),
                          reason.c_str());
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

image wrap(tile_pixels&& tile)
{
    image result(tile.width, tile.height, 1, 1);
    std::copy(tile.pixels.begin(), tile.pixels.end(), result.data());
    return result;
}

} // namespace

image load_tile(const std::string& name)
{
    // A C string stops at the first NUL: the rest of the name would be lost
    // and a different file read.
    if (name.find('\0') != std::string::npos)
        fail_read(printable(name), "the name holds a NUL byte");
    if (is_web_address(name))
        fail_read(name, "web addresses are not read");
    struct stat status {};
    if (::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        fail_read(name, "it is a directory");

    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (!file)  // the library's own report for this case, which scripts look for
        throw CImgIOException("%sFailed to open file '%s'.", load_prefix().c_str(), name.c_str());
    unsigned char signature[4] = {};
    const std::size_t got = std::fread(signature, 1, sizeof signature, file);
    std::fclose(file);

    if (has_tiff_signature(signature, got)) {
        try {
            return wrap(read_tiff_tile(name));
        } catch (const tile_read_error& e) {
            fail_read(name, e.what());
        } catch (const std::bad_alloc&) {
            fail_read(name, "out of memory");
        }
    }
    if (needs_external_program(name))
        fail_read(name, "this format is read only by an external program, which is never run");
    image tile;
    tile.load(name.c_str());
    return tile;
}

void assemble_slice(image& canvas, std::int32_t slice_index, std::uint32_t width,
                    const std::vector<std::string>& names, std::int32_t slice_count,
                    std::int32_t yoffset, std::int32_t xoverlap, std::int32_t splitnumber)
{
    const std::int32_t column_pitch = static_cast<std::int32_t>(width) - 2 * xoverlap;
    // Columns are drawn in increasing order on this thread: where pieces overlap
    // (tiles wider than the reference) the higher column must win.
    for (std::int32_t tile_column = 0; tile_column < splitnumber; ++tile_column) {
        const std::int32_t tile_index = tile_column * slice_count + slice_index;
        const image tile = load_tile(names.at(static_cast<std::size_t>(tile_index)));
        image piece = tile.get_crop(xoverlap, static_cast<int>(tile.width()) - xoverlap - 1, 0);
        piece.shift(0, yoffset * tile_column, 0, 0, 0);
        piece.mirror('x');
        canvas.draw_image(column_pitch * tile_column, 0, 0, 0, piece, 1.0f);
    }
}

} // namespace orvane
