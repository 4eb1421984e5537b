// The mosaic of one slice: each tile drawn in one pass, as it is read where it can be.
#include "mosaic/assemble.hpp"

#include "base/error.hpp"
#include "base/parallel.hpp"
#include "base/per_thread.hpp"
#include "mosaic/composite.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
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
    struct buffers_tag;
    auto& buffers = per_thread<buffers_tag, std::vector<std::unique_ptr<image_buffer>>>();
    return buffers;
}

// Draws a tile band by band as the reader decodes it, from a small buffer of
// the thread's, so the tile never has to be held whole.
class streamed_piece : public row_sink {
public:
    streamed_piece(composite_plan& plan, std::int32_t tile_column)
        : plan_(plan), tile_column_(tile_column)
    {
    }

    // Pieces drawn side by side by several threads must each stay inside
    // their own band; one that would not throws beyond_band from begin(),
    // before it draws anything.
    struct beyond_band {};
    void keep_within_band() { within_band_ = true; }

    void begin(std::uint32_t width, std::uint32_t height) override
    {
        const image_size tile{width, height};
        if (!within_band_)
            plan_.place(tile_column_, tile);
        else if (!plan_.place_in_band(tile_column_, tile))
            throw beyond_band{};
    }

    std::uint16_t* room(std::uint32_t, std::uint32_t count) override
    {
        std::vector<std::uint16_t>& band = thread_band();
        const std::size_t values =
            std::size_t{count} * static_cast<std::size_t>(plan_.piece(tile_column_).tile_width);
        if (band.size() < values)
            band.resize(values);
        return band.data();
    }

    void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* pixels) override
    {
        const piece_layout& l = plan_.piece(tile_column_);
        if (l.empty)
            return;
        const std::int64_t first = std::max<std::int64_t>(std::int64_t{y0} + l.shift, 0);
        const std::int64_t last =
            std::min<std::int64_t>(std::int64_t{y0} + count + l.shift, l.rows);
        for (std::int64_t y = first; y < last; ++y)
            plan_.draw_row(tile_column_, y, pixels + (y - l.shift - y0) * l.tile_width);
    }

    // Zeroes the rows of the piece that no tile row reached.
    void finish() const { plan_.draw_rows_without_tile(tile_column_); }

private:
    static std::vector<std::uint16_t>& thread_band()
    {
        struct band_tag;
        auto& band = per_thread<band_tag, std::vector<std::uint16_t>>();
        return band;
    }

    composite_plan& plan_;
    std::int32_t tile_column_;
    bool within_band_ = false;
};

}  // namespace

void draw_whole_tile(composite_plan& plan, const image& tile, std::int32_t tile_column, int threads)
{
    const piece_layout& layout = plan.place(tile_column, image_size{tile.width(), tile.height()});
    if (layout.empty)
        return;
    // The first slice of the first channel is the tile's first width * height values.
    const std::uint16_t* const tile_pixels = tile.data();
    parallel_for(layout.rows, threads, loop_schedule::blocks, [&](std::int64_t y) {
        plan.draw_row(tile_column, y,
                      layout.shows_tile_row(y)
                          ? tile_pixels + (y - layout.shift) * layout.tile_width
                          : nullptr);
    });
}

drawn_area draw_tile(image& canvas, const image& tile, std::int32_t tile_column,
                     const mosaic_layout& layout, int threads)
{
    composite_plan plan(canvas, layout);
    draw_whole_tile(plan, tile, tile_column, threads);
    return plan.piece(tile_column).area();
}

namespace {

// The tiles of one slice and the layout they are drawn with.
struct slice_tiles {
    image& canvas;
    const tile_source& tiles;
    const mosaic_layout& layout;
    int threads;

    std::int32_t columns() const { return layout.columns(); }
};

// One thread: each TIFF tile is drawn band by band as it is read, from a
// buffer that stays in cache, instead of through a whole tile.
void stream_in_order(const slice_tiles& s, image_buffer& tile)
{
    composite_plan plan(s.canvas, s.layout);
    for (std::int32_t column = 0; column < s.columns(); ++column) {
        streamed_piece piece(plan, column);
        if (s.tiles.stream(column, piece)) {
            piece.finish();
            continue;
        }
        s.tiles.load(column, tile);
        draw_whole_tile(plan, tile.pixels(), column, 1);
    }
    plan.clear_uncovered(s.threads);
}

// Several threads each draw whole tile columns as they are read. This holds
// only while every piece stays inside its own column band (as tiles of the
// reference width do), so the order of drawing cannot matter. False, with
// the canvas partly drawn, when a tile is not a TIFF or its piece is wider
// than the band: the caller then draws the slice in column order.
bool stream_side_by_side(const slice_tiles& s)
{
    composite_plan plan(s.canvas, s.layout);
    std::atomic<bool> in_order{false};
    try {
        parallel_for(s.columns(), s.threads, loop_schedule::one_by_one, [&](std::int64_t j) {
            const auto column = static_cast<std::int32_t>(j);
            streamed_piece piece(plan, column);
            piece.keep_within_band();
            try {
                if (s.tiles.stream(column, piece))
                    piece.finish();
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
    plan.clear_uncovered(s.threads);
    return true;
}

// Tiles are read a group at a time, one per thread (so memory grows by a
// tile per thread, not per column), then drawn in increasing column order,
// as pieces that overlap (tiles wider than the reference) must be.
void load_in_groups(const slice_tiles& s, std::vector<std::unique_ptr<image_buffer>>& group)
{
    composite_plan plan(s.canvas, s.layout);
    const std::int32_t group_size = s.threads;
    for (std::int32_t first = 0; first < s.columns(); first += group_size) {
        const std::int32_t count = std::min(group_size, s.columns() - first);
        parallel_for(count, count, loop_schedule::blocks, [&](std::int64_t k) {
            s.tiles.load(first + static_cast<std::int32_t>(k), *group[static_cast<std::size_t>(k)]);
        });
        for (std::int32_t k = 0; k < count; ++k)
            draw_whole_tile(plan, group[static_cast<std::size_t>(k)]->pixels(), first + k,
                            s.threads);
    }
    plan.clear_uncovered(s.threads);
}

}  // namespace

void assemble_slice(image& canvas, const tile_source& tiles, const mosaic_layout& layout,
                    int threads)
{
    const slice_tiles s{canvas, tiles, layout, std::max(1, threads)};
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
