// The mosaic of one slice: each tile drawn in one pass, as it is read where it can be.
#include "mosaic/assemble.hpp"

#include "base/error.hpp"
#include "base/parallel.hpp"
#include "io/tile_loader.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

namespace orvane {

void refuse_empty_tile(std::int32_t xoverlap, std::int64_t width)
{
    try {
        (void)image().get_crop(xoverlap, static_cast<int>(width) - xoverlap - 1, 0);
    } catch (const cimg_library::CImgInstanceException& e) {
        throw error(failure_kind::library_instance, "", e.what());
    }
    throw error(failure_kind::library_instance, "", "crop(): Empty instance.");
}

namespace {

// Each slice thread's tiles, kept from one slice to the next.
std::vector<std::unique_ptr<image_buffer>>& thread_tile_buffers()
{
    thread_local std::vector<std::unique_ptr<image_buffer>> buffers;
    return buffers;
}

// Draws a tile band by band as the reader decodes it, from a small buffer of
// the thread's, so the tile never has to be held whole.
class streamed_piece : public row_sink {
public:
    streamed_piece(image& canvas, const mosaic_layout& layout, std::int32_t tile_column)
        : canvas_(canvas), layout_of_run_(layout), tile_column_(tile_column)
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
        layout_.emplace(canvas_, image_size{width, height}, layout_of_run_, tile_column_);
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
    const mosaic_layout& layout_of_run_;
    std::int32_t tile_column_;
    std::int64_t band_begin_ = std::numeric_limits<std::int64_t>::min();
    std::int64_t band_end_ = std::numeric_limits<std::int64_t>::max();
    std::optional<piece_layout> layout_;
};

}  // namespace

drawn_area draw_tile(image& canvas, const image& tile, std::int32_t tile_column,
                     const mosaic_layout& layout_of_run, int threads)
{
    const piece_layout layout(canvas, image_size{tile.width(), tile.height()}, layout_of_run,
                              tile_column);
    if (layout.empty)
        return {};
    std::uint16_t* const canvas_pixels = canvas.data();
    // The first slice of the first channel is the tile's first width * height values.
    const std::uint16_t* const tile_pixels = tile.data();
    parallel_for(layout.rows, threads, loop_schedule::blocks, [&](std::int64_t y) {
        layout.draw_row(canvas_pixels, y,
                        layout.shows_tile_row(y)
                            ? tile_pixels + (y - layout.shift) * layout.tile_width
                            : nullptr);
    });
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
    parallel_for(height, threads, loop_schedule::blocks, [&](std::int64_t y) {
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
    });
}

// The tiles of one slice and the layout they are drawn with.
struct slice_tiles {
    image& canvas;
    const acquisition& tiles;
    const mosaic_layout& layout;
    std::int32_t slice_index;
    int threads;

    std::int32_t columns() const { return layout.columns(); }
    const std::string& name_of(std::int32_t tile_column) const
    {
        return tiles.tile_name(tile_column, slice_index);
    }
};

// One thread: each TIFF tile is drawn band by band as it is read, from a
// buffer that stays in cache, instead of through a whole tile.
void stream_in_order(const slice_tiles& s, image_buffer& tile)
{
    std::vector<drawn_area> drawn;
    for (std::int32_t column = 0; column < s.columns(); ++column) {
        streamed_piece piece(s.canvas, s.layout, column);
        if (stream_tile(s.name_of(column), piece)) {
            drawn.push_back(piece.finish());
            continue;
        }
        load_tile(s.name_of(column), tile);
        drawn.push_back(draw_tile(s.canvas, tile.pixels(), column, s.layout));
    }
    clear_undrawn(s.canvas, std::move(drawn), s.threads);
}

// Several threads each draw whole tile columns as they are read. This holds
// only while every piece stays inside its own column band (as tiles of the
// reference width do), so the order of drawing cannot matter. False, with
// the canvas partly drawn, when a tile is not a TIFF or its piece is wider
// than the band: the caller then draws the slice in column order.
bool stream_side_by_side(const slice_tiles& s)
{
    std::vector<drawn_area> drawn(static_cast<std::size_t>(std::max(0, s.columns())));
    std::atomic<bool> in_order{false};
    try {
        parallel_for(s.columns(), s.threads, loop_schedule::one_by_one, [&](std::int64_t j) {
            const auto column = static_cast<std::int32_t>(j);
            streamed_piece piece(s.canvas, s.layout, column);
            piece.keep_within(s.layout.place(column), s.layout.place(column + 1));
            try {
                if (stream_tile(s.name_of(column), piece))
                    drawn[static_cast<std::size_t>(j)] = piece.finish();
                else
                    in_order = true;
            } catch (const streamed_piece::beyond_band&) {
                in_order = true;
            }
        });
    } catch (...) {
        // Drawing in order reads every tile again and reports the same errors.
        if (in_order)
            return false;
        throw;
    }
    if (in_order)
        return false;
    clear_undrawn(s.canvas, std::move(drawn), s.threads);
    return true;
}

// Tiles are read a group at a time, one per thread (so memory grows by a
// tile per thread, not per column), then drawn in increasing column order:
// where pieces overlap (tiles wider than the reference) the higher column
// must win.
void load_in_groups(const slice_tiles& s, std::vector<std::unique_ptr<image_buffer>>& group)
{
    const std::int32_t group_size = s.threads;
    std::vector<drawn_area> drawn;
    for (std::int32_t first = 0; first < s.columns(); first += group_size) {
        const std::int32_t count = std::min(group_size, s.columns() - first);
        parallel_for(count, count, loop_schedule::blocks, [&](std::int64_t k) {
            load_tile(s.name_of(first + static_cast<std::int32_t>(k)),
                      *group[static_cast<std::size_t>(k)]);
        });
        for (std::int32_t k = 0; k < count; ++k)
            drawn.push_back(draw_tile(s.canvas, group[static_cast<std::size_t>(k)]->pixels(),
                                      first + k, s.layout, s.threads));
    }
    clear_undrawn(s.canvas, std::move(drawn), s.threads);
}

}  // namespace

void assemble_slice(image& canvas, const acquisition& tiles, const mosaic_layout& layout,
                    std::int32_t slice_index, int threads)
{
    const slice_tiles s{canvas, tiles, layout, slice_index, std::max(1, threads)};
    // The calling thread's buffers keep their memory for the next slice,
    // which would otherwise fault in fresh pages for every tile.
    std::vector<std::unique_ptr<image_buffer>>& group = thread_tile_buffers();
    while (group.size() < static_cast<std::size_t>(s.threads))
        group.push_back(std::make_unique<image_buffer>());
    if (s.threads == 1) {
        stream_in_order(s, *group[0]);
        return;
    }
    if (stream_side_by_side(s))
        return;
    load_in_groups(s, group);
    // A slice thread that reads several tiles at once (a slice with threads
    // to spare, usually the only one of its run) frees them, so they are not
    // held while the slice is written.
    group.clear();
}

}  // namespace orvane
