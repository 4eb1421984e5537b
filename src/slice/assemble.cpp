// Tile loading and the mosaic geometry of a slice, drawn in one pass per tile.
#include "slice/assemble.hpp"

#include "slice/huge_pages.hpp"
#include "slice/tile_reader.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
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

// Each slice thread's tiles, kept from one slice to the next.
std::vector<std::unique_ptr<image_buffer>>& thread_tile_buffers()
{
    thread_local std::vector<std::unique_ptr<image_buffer>> buffers;
    return buffers;
}

} // namespace

image load_tile(const std::string& name)
{
    image_buffer tile;
    load_tile(name, tile);
    return image(tile.pixels(), false);
}

namespace {

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
    struct stat status {};
    if (::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        fail_read(name, "it is a directory");

    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (!file)  // the library's own report for this case, which scripts look for
        throw CImgIOException("%sFailed to open file '%s'.", load_prefix().c_str(), name.c_str());
    unsigned char signature[4] = {};
    const std::size_t got = std::fread(signature, 1, sizeof signature, file);
    std::fclose(file);
    return has_tiff_signature(signature, got);
}

// Runs the TIFF reader, its failures reported as the library's load errors.
template <class Read>
void read_tiff(const std::string& name, Read read)
{
    try {
        read();
    } catch (const tile_read_error& e) {
        fail_read(name, e.what());
    } catch (const std::bad_alloc&) {
        fail_read(name, "out of memory");
    }
}

// Draws a TIFF tile onto the canvas as it is read; false, with nothing
// drawn, when the file is not a TIFF.
bool stream_tile(const std::string& name, row_sink& piece)
{
    if (!check_tile(name))
        return false;
    read_tiff(name, [&] { read_tiff_rows(name, piece); });
    return true;
}

} // namespace

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
    // Other formats go through the library's own loader, which may give
    // several slices or channels; the copy keeps them all.
    image loaded;
    loaded.load(name.c_str());
    std::uint16_t* const pixels = into.resize(
        static_cast<std::uint32_t>(loaded.width()), static_cast<std::uint32_t>(loaded.height()),
        static_cast<std::uint32_t>(loaded.depth()), static_cast<std::uint32_t>(loaded.spectrum()));
    std::copy(loaded.begin(), loaded.end(), pixels);
}

namespace {

// Where one tile's piece lands on the canvas and which tile pixels it shows.
struct piece_layout {
    std::int64_t canvas_width = 0;
    std::int64_t tile_width = 0, tile_height = 0;
    std::int64_t x1 = 0;     // piece column u shows tile column x1 - u (flipped)
    std::int64_t left = 0;   // canvas column of piece column 0
    std::int64_t shift = 0;  // canvas row of tile row 0
    std::int64_t u_begin = 0, u_end = 0;        // piece columns on the canvas
    std::int64_t copy_begin = 0, copy_end = 0;  // ... and among them those inside the tile
    std::int64_t rows = 0;                      // canvas rows the piece covers
    bool empty = true;                          // nothing of it lands on the canvas

    piece_layout(const image& canvas, std::int64_t width, std::int64_t height,
                 std::int32_t tile_column, std::int32_t column_pitch, std::int32_t yoffset,
                 std::int32_t xoverlap)
        : canvas_width(canvas.width()), tile_width(width), tile_height(height)
    {
        // An empty tile cannot be trimmed: let the library raise its own error for it.
        if (width == 0 || height == 0)
            (void)image().get_crop(xoverlap, static_cast<int>(width) - xoverlap - 1, 0);
        if (canvas.is_empty())
            return;
        // The piece holds tile columns x0 ... x1 (crossed limits are swapped),
        // zero where they fall outside the tile.
        std::int64_t x0 = xoverlap;
        x1 = tile_width - xoverlap - 1;
        if (x0 > x1)
            std::swap(x0, x1);
        const std::int64_t piece_width = x1 - x0 + 1;
        left = std::int64_t{column_pitch} * tile_column;
        shift = std::int64_t{yoffset} * tile_column;
        u_begin = std::max<std::int64_t>(0, -left);
        u_end = std::min(piece_width, canvas_width - left);
        if (u_begin >= u_end)
            return;
        copy_begin = std::clamp(x1 - tile_width + 1, u_begin, u_end);
        copy_end = std::clamp(x1 + 1, copy_begin, u_end);
        // The piece is as tall as the tile: rows below it keep what they hold.
        rows = std::min(tile_height, std::int64_t{canvas.height()});
        empty = false;
    }

    drawn_area area() const
    {
        return empty ? drawn_area{} : drawn_area{left + u_begin, left + u_end, rows};
    }

    // Canvas row y, 0 <= y < rows, from its tile row (zeros when there is none).
    void draw_row(std::uint16_t* canvas_pixels, std::int64_t y, const std::uint16_t* in) const
    {
        std::uint16_t* const out = canvas_pixels + y * canvas_width;
        if (!in) {
            std::fill(out + (left + u_begin), out + (left + u_end), std::uint16_t{0});
            return;
        }
        std::fill(out + (left + u_begin), out + (left + copy_begin), std::uint16_t{0});
        // Tile and canvas are different images, so the flipped copy may run in vector lanes.
#pragma omp simd
        for (std::int64_t u = copy_begin; u < copy_end; ++u)
            out[left + u] = in[x1 - u];
        std::fill(out + (left + copy_end), out + (left + u_end), std::uint16_t{0});
    }

    // Whether canvas row y shows a tile row.
    bool shows_tile_row(std::int64_t y) const
    {
        return y - shift >= 0 && y - shift < tile_height;
    }
};

// Draws a tile band by band as the reader decodes it, from a small buffer of
// the thread's, so the tile never has to be held whole.
class streamed_piece : public row_sink {
public:
    streamed_piece(image& canvas, std::int32_t tile_column, std::int32_t column_pitch,
                   std::int32_t yoffset, std::int32_t xoverlap)
        : canvas_(canvas), tile_column_(tile_column), column_pitch_(column_pitch),
          yoffset_(yoffset), xoverlap_(xoverlap)
    {
    }

    // Pieces drawn side by side by several threads must each stay inside
    // canvas columns [begin, end); one that would not throws beyond_band
    // from begin(), before it draws anything.
    struct beyond_band {};
    void keep_within(std::int64_t begin, std::int64_t end)
    {
        band_begin_ = begin;
        band_end_ = end;
    }

    void begin(std::uint32_t width, std::uint32_t height) override
    {
        layout_.emplace(canvas_, width, height, tile_column_, column_pitch_, yoffset_, xoverlap_);
        const drawn_area area = layout_->area();
        if (!layout_->empty && (area.x_begin < band_begin_ || area.x_end > band_end_))
            throw beyond_band{};
    }

    std::uint16_t* room(std::uint32_t, std::uint32_t count) override
    {
        std::vector<std::uint16_t>& band = thread_band();
        const std::size_t values =
            std::size_t{count} * static_cast<std::size_t>(layout_->tile_width);
        if (band.size() < values)
            band.resize(values);
        return band.data();
    }

    void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* pixels) override
    {
        const piece_layout& l = *layout_;
        if (l.empty)
            return;
        const std::int64_t first = std::max<std::int64_t>(std::int64_t{y0} + l.shift, 0);
        const std::int64_t last =
            std::min<std::int64_t>(std::int64_t{y0} + count + l.shift, l.rows);
        for (std::int64_t y = first; y < last; ++y)
            l.draw_row(canvas_.data(), y, pixels + (y - l.shift - y0) * l.tile_width);
    }

    // Zeroes the rows of the piece that no tile row reached; returns its area.
    drawn_area finish() const
    {
        const piece_layout& l = *layout_;
        for (std::int64_t y = 0; !l.empty && y < l.rows; ++y)
            if (!l.shows_tile_row(y))
                l.draw_row(canvas_.data(), y, nullptr);
        return l.area();
    }

private:
    static std::vector<std::uint16_t>& thread_band()
    {
        thread_local std::vector<std::uint16_t> band;
        return band;
    }

    image& canvas_;
    std::int32_t tile_column_, column_pitch_, yoffset_, xoverlap_;
    std::int64_t band_begin_ = std::numeric_limits<std::int64_t>::min();
    std::int64_t band_end_ = std::numeric_limits<std::int64_t>::max();
    std::optional<piece_layout> layout_;
};

} // namespace

drawn_area draw_tile(image& canvas, const image& tile, std::int32_t tile_column,
                     std::int32_t column_pitch, std::int32_t yoffset, std::int32_t xoverlap,
                     int threads)
{
    const piece_layout layout(canvas, tile.width(), tile.height(), tile_column, column_pitch,
                              yoffset, xoverlap);
    if (layout.empty)
        return {};
    std::uint16_t* const canvas_pixels = canvas.data();
    // The first slice of the first channel is the tile's first width * height values.
    const std::uint16_t* const tile_pixels = tile.data();
    const int team = std::max(1, threads);
#pragma omp parallel for num_threads(team) schedule(static) if (team > 1)
    for (std::int64_t y = 0; y < layout.rows; ++y)
        layout.draw_row(canvas_pixels, y,
                        layout.shows_tile_row(y)
                            ? tile_pixels + (y - layout.shift) * layout.tile_width
                            : nullptr);
    return layout.area();
}

namespace {

// Zeroes every canvas pixel outside the drawn areas.
void clear_undrawn(image& canvas, std::vector<drawn_area> areas, int threads)
{
    if (canvas.is_empty())
        return;
    const std::int64_t width = canvas.width(), height = canvas.height();
    std::sort(areas.begin(), areas.end(),
              [](const drawn_area& a, const drawn_area& b) { return a.x_begin < b.x_begin; });
    std::uint16_t* const pixels = canvas.data();
    const int team = std::max(1, threads);
#pragma omp parallel for num_threads(team) schedule(static) if (team > 1)
    for (std::int64_t y = 0; y < height; ++y) {
        std::uint16_t* const out = pixels + y * width;
        std::int64_t done = 0;  // the pixels before are drawn or cleared
        for (const drawn_area& area : areas) {
            if (area.rows <= y || area.x_begin >= area.x_end)
                continue;
            if (area.x_begin > done)
                std::fill(out + done, out + area.x_begin, std::uint16_t{0});
            done = std::max(done, area.x_end);
        }
        if (done < width)
            std::fill(out + done, out + width, std::uint16_t{0});
    }
}

// Several threads each draw whole tile columns as they are read. This holds
// only while every piece stays inside its own column band (as tiles of the
// reference width do), so the order of drawing cannot matter. False, with
// the canvas partly drawn, when a tile is not a TIFF or its piece is wider
// than the band: the caller then draws the slice in column order.
template <class NameOf>
bool stream_side_by_side(image& canvas, std::int32_t column_pitch, std::int32_t yoffset,
                         std::int32_t xoverlap, std::int32_t splitnumber, int threads,
                         const NameOf& name_of)
{
    const auto columns = static_cast<std::size_t>(std::max(0, splitnumber));
    std::vector<drawn_area> drawn(columns);
    std::vector<std::exception_ptr> errors(columns);
    std::atomic<bool> in_order{false};
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1)
    for (std::int32_t column = 0; column < splitnumber; ++column) {
        const auto k = static_cast<std::size_t>(column);
        // An exception must not leave the parallel region: keep it for later.
        try {
            streamed_piece piece(canvas, column, column_pitch, yoffset, xoverlap);
            piece.keep_within(std::int64_t{column_pitch} * column,
                              std::int64_t{column_pitch} * (column + 1));
            if (stream_tile(name_of(column), piece))
                drawn[k] = piece.finish();
            else
                in_order = true;
        } catch (const streamed_piece::beyond_band&) {
            in_order = true;
        } catch (...) {
            errors[k] = std::current_exception();
        }
    }
    // Drawing in order reads every tile again and reports the same errors.
    if (in_order)
        return false;
    // The lowest failing column is reported, as a serial run would.
    for (const std::exception_ptr& error : errors)
        if (error)
            std::rethrow_exception(error);
    clear_undrawn(canvas, std::move(drawn), threads);
    return true;
}

} // namespace

void assemble_slice(image& canvas, std::int32_t slice_index, std::uint32_t width,
                    const std::vector<std::string>& names, std::int32_t slice_count,
                    std::int32_t yoffset, std::int32_t xoverlap, std::int32_t splitnumber,
                    int threads)
{
    const std::int32_t column_pitch = static_cast<std::int32_t>(width) - 2 * xoverlap;
    auto name_of = [&](std::int32_t tile_column) -> const std::string& {
        return names.at(static_cast<std::size_t>(tile_column * slice_count + slice_index));
    };
    // Tiles are read a group at a time, one per thread (so memory grows by a
    // tile per thread, not per column), then drawn in increasing column order:
    // where pieces overlap (tiles wider than the reference) the higher column
    // must win.
    const int group_size = std::max(1, threads);
    // The calling thread's buffers, shared with the team below by reference.
    // They keep their memory for the next slice, which would otherwise fault
    // in fresh pages for every tile.
    std::vector<std::unique_ptr<image_buffer>>& group = thread_tile_buffers();
    while (group.size() < static_cast<std::size_t>(group_size))
        group.push_back(std::make_unique<image_buffer>());
    std::vector<drawn_area> drawn;
    if (group_size == 1) {
        // One thread: each TIFF tile is drawn band by band as it is read,
        // from a buffer that stays in cache, instead of through a whole tile.
        for (std::int32_t column = 0; column < splitnumber; ++column) {
            streamed_piece piece(canvas, column, column_pitch, yoffset, xoverlap);
            if (stream_tile(name_of(column), piece)) {
                drawn.push_back(piece.finish());
                continue;
            }
            load_tile(name_of(column), *group[0]);
            drawn.push_back(
                draw_tile(canvas, group[0]->pixels(), column, column_pitch, yoffset, xoverlap));
        }
        clear_undrawn(canvas, std::move(drawn), threads);
        return;
    }
    if (stream_side_by_side(canvas, column_pitch, yoffset, xoverlap, splitnumber, threads,
                            name_of))
        return;
    for (std::int32_t first = 0; first < splitnumber; first += group_size) {
        const int count = static_cast<int>(std::min<std::int32_t>(group_size, splitnumber - first));
        std::vector<std::exception_ptr> errors(static_cast<std::size_t>(count));
#pragma omp parallel for num_threads(count) schedule(static, 1) if (count > 1)
        for (int k = 0; k < count; ++k) {
            // An exception must not leave the parallel region: keep it for later.
            try {
                load_tile(name_of(first + k), *group[static_cast<std::size_t>(k)]);
            } catch (...) {
                errors[static_cast<std::size_t>(k)] = std::current_exception();
            }
        }
        for (int k = 0; k < count; ++k) {
            // The lowest failing column is reported, as a serial run would.
            if (errors[static_cast<std::size_t>(k)])
                std::rethrow_exception(errors[static_cast<std::size_t>(k)]);
            drawn.push_back(draw_tile(canvas, group[static_cast<std::size_t>(k)]->pixels(),
                                      first + k, column_pitch, yoffset, xoverlap, threads));
        }
    }
    clear_undrawn(canvas, std::move(drawn), threads);
    // A slice thread that reads one tile at a time keeps its buffer for the
    // next slice. One that reads several at once (a slice with threads to
    // spare, usually the only one of its run) frees them, so they are not
    // held while the slice is written.
    if (group_size > 1)
        group.clear();
}

} // namespace orvane
