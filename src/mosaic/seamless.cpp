// A slice without visible seams: whole tiles corrected, each seam's overlap registered and its
// gains compared, then every canvas row drawn once with the seams blended.
#include "mosaic/seamless.hpp"

#include "base/parallel.hpp"
#include "base/per_thread.hpp"
#include "mosaic/assemble.hpp"
#include "mosaic/composite.hpp"
#include "mosaic/seam_rows.hpp"
#include "mosaic/seam_view.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace orvane {

namespace {

using namespace seam_detail;

// Each slice thread's tiles, kept from one slice to the next.
std::vector<std::unique_ptr<image_buffer>>& thread_tiles()
{
    struct tiles_tag;
    auto& tiles = per_thread<tiles_tag, std::vector<std::unique_ptr<image_buffer>>>();
    return tiles;
}

// Draws canvas rows from the placed tiles: each column's own band of the
// plain layout from its tile, the band across each seam a raised-cosine
// weighted mean of both tiles where both cover it. A row the column's tile
// does not reach is 0 across its band; a pixel beyond the tile's side edge
// (a column moved sideways) comes from the neighbour that covers it, else 0.
class row_drawer {
public:
    row_drawer(const slice_view& s, std::int64_t canvas_width, std::int32_t blend)
        : s_(s), canvas_width_(canvas_width), blend_(blend),
          weights_(static_cast<std::size_t>(blend))
    {
        const double pi = std::acos(-1.0);
        for (std::int32_t i = 0; i < blend; ++i)
            weights_[static_cast<std::size_t>(i)] =
                static_cast<float>(0.5 - 0.5 * std::cos(pi * (i + 0.5) / blend));
    }

    void draw(std::uint16_t* out, std::int64_t y) const
    {
        const std::int32_t n = s_.count();
        std::vector<span>& cover = thread_cover();
        cover.resize(static_cast<std::size_t>(n));
        for (std::int32_t j = 0; j < n; ++j)
            cover[static_cast<std::size_t>(j)] = coverage(s_, j, y, canvas_width_);
        const mosaic_layout& layout = s_.layout;
        const std::int32_t before = blend_ / 2, after = blend_ - blend_ / 2;
        for (std::int32_t j = 0; j < n; ++j) {
            const std::int64_t a = std::max<std::int64_t>(0, layout.place(j));
            const std::int64_t b =
                std::min(canvas_width_, j + 1 < n ? layout.place(j + 1) : canvas_width_);
            if (a >= b)
                continue;
            // A row the column's tile does not reach stays 0 across its band,
            // as in the plain mosaic; only pixels beyond the tile's side edge
            // come from the neighbour there.
            if (cover[static_cast<std::size_t>(j)].empty()) {
                std::fill(out + a, out + b, std::uint16_t{0});
                continue;
            }
            const std::int64_t inner_a = j > 0 ? std::min(b, a + after) : a;
            const std::int64_t inner_b = j + 1 < n ? std::max(inner_a, b - before) : b;
            if (j > 0)
                blend(out, y, {a, inner_a}, j - 1, j, j, cover);
            fill(out, y, {inner_a, inner_b}, j, j > 0 ? j - 1 : -1, j + 1 < n ? j + 1 : -1, cover);
            if (j + 1 < n)
                blend(out, y, {inner_b, b}, j, j + 1, j, cover);
        }
    }

private:
    static std::vector<span>& thread_cover()
    {
        struct cover_tag;
        auto& cover = per_thread<cover_tag, std::vector<span>>();
        return cover;
    }

    // Tile row pointer p and base such that canvas column x shows p[base - x].
    const std::uint16_t* row_of(std::int32_t j, std::int64_t y, std::int64_t& base) const
    {
        const column_place& c = s_.columns[static_cast<std::size_t>(j)];
        base = s_.width - 1 + c.left;
        return c.pixels + (y - c.top) * s_.width;
    }

    void copy(std::uint16_t* out, std::int64_t y, span x, std::int32_t j) const
    {
        if (x.empty())
            return;
        std::int64_t base = 0;
        const std::uint16_t* in = row_of(j, y, base);
        const float gain = s_.columns[static_cast<std::size_t>(j)].gain;
        if (gain == 1.0f) {
#pragma omp simd
            for (std::int64_t i = x.begin; i < x.end; ++i)
                out[i] = in[base - i];
        } else {
            copy_scaled(out, in, base, x.begin, x.end, gain);
        }
    }

    // Columns x of column `own`'s band: from `own` where it covers them,
    // the rest from the neighbour on that side (-1: none) where it does, else 0.
    void fill(std::uint16_t* out, std::int64_t y, span x, std::int32_t own, std::int32_t left,
              std::int32_t right, const std::vector<span>& cover) const
    {
        if (x.empty())
            return;
        const span mine = intersect(x, cover[static_cast<std::size_t>(own)]);
        if (mine.empty()) {
            // Neither side of an uncovered band is preferred: the left neighbour first.
            fill_from(out, y, x, left, right, cover);
            return;
        }
        fill_from(out, y, {x.begin, mine.begin}, left, -1, cover);
        copy(out, y, mine, own);
        fill_from(out, y, {mine.end, x.end}, right, -1, cover);
    }

    // Columns x from `first` where it covers them, else from `second`, else 0.
    void fill_from(std::uint16_t* out, std::int64_t y, span x, std::int32_t first,
                   std::int32_t second, const std::vector<span>& cover) const
    {
        if (x.empty())
            return;
        if (first < 0) {
            if (second >= 0)
                fill_from(out, y, x, second, -1, cover);
            else
                std::fill(out + x.begin, out + x.end, std::uint16_t{0});
            return;
        }
        const span c = intersect(x, cover[static_cast<std::size_t>(first)]);
        if (c.empty()) {
            fill_from(out, y, x, second, -1, cover);
            return;
        }
        fill_from(out, y, {x.begin, c.begin}, second, -1, cover);
        copy(out, y, c, first);
        fill_from(out, y, {c.end, x.end}, second, -1, cover);
    }

    // Columns x of the blend band of the seam between columns l and r = l + 1,
    // in column own's band: the weighted mean where both tiles cover them.
    void blend(std::uint16_t* out, std::int64_t y, span x, std::int32_t l, std::int32_t r,
               std::int32_t own, const std::vector<span>& cover) const
    {
        if (x.empty())
            return;
        const span both = intersect(
            x, intersect(cover[static_cast<std::size_t>(l)], cover[static_cast<std::size_t>(r)]));
        const std::int32_t other = own == l ? r : l;
        if (both.empty()) {
            fill_from(out, y, x, own, other, cover);
            return;
        }
        fill_from(out, y, {x.begin, both.begin}, own, other, cover);
        std::int64_t base_l = 0, base_r = 0;
        const std::uint16_t* in_l = row_of(l, y, base_l);
        const std::uint16_t* in_r = row_of(r, y, base_r);
        const float gain_l = s_.columns[static_cast<std::size_t>(l)].gain;
        const float gain_r = s_.columns[static_cast<std::size_t>(r)].gain;
        // Weight i belongs to canvas column band_start + i.
        const std::int64_t band_start = s_.layout.place(r) - blend_ / 2;
        blend_scaled(out, in_l, base_l, gain_l, in_r, base_r, gain_r,
                     weights_.data() + (both.begin - band_start), both.begin, both.end);
        fill_from(out, y, {both.end, x.end}, own, other, cover);
    }

    const slice_view& s_;
    std::int64_t canvas_width_;
    std::int32_t blend_;
    std::vector<float> weights_;
};

// Takes a tile's rows as they are decoded into a whole-tile buffer and
// corrects each band by the flat field while it is still in cache.
class corrected_rows : public row_sink {
public:
    corrected_rows(image_buffer& into, const flat_field* flat) : into_(into), flat_(flat) {}

    void begin(std::uint32_t width, std::uint32_t height) override
    {
        width_ = width;
        into_.resize(width, height);
        correct_ = flat_ && flat_->width == width && flat_->height == height;
    }

    std::uint16_t* room(std::uint32_t y0, std::uint32_t) override
    {
        return into_.pixels().data() + std::size_t{y0} * width_;
    }

    void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t*) override
    {
        if (!correct_)
            return;
        std::uint16_t* const first = into_.pixels().data() + std::size_t{y0} * width_;
        for (std::uint32_t r = 0; r < count; ++r)
            correct_row(*flat_, y0 + r, 0, first + std::size_t{r} * width_, width_);
    }

private:
    image_buffer& into_;
    const flat_field* flat_;
    std::uint32_t width_ = 0;
    bool correct_ = false;
};

// Tiles of another size than the reference: their pieces may overlap, which
// the composite step decides, so they are drawn as the plain mosaic is,
// each corrected by the flat field where it has the field's size.
void draw_plain(image& canvas, const mosaic_layout& layout,
                const std::vector<std::unique_ptr<image_buffer>>& tiles, int threads)
{
    composite_plan plan(canvas, layout);
    for (std::int32_t j = 0; j < layout.columns(); ++j)
        draw_whole_tile(plan, tiles[static_cast<std::size_t>(j)]->pixels(), j, threads);
    plan.clear_uncovered(threads);
}

}  // namespace

std::vector<seam_measure> assemble_seamless(image& canvas, const tile_source& tiles,
                                            const mosaic_layout& layout,
                                            const seam_settings& settings, int threads)
{
    threads = std::max(1, threads);
    const std::int32_t n = std::max(0, layout.columns());
    std::vector<seam_measure> seams(static_cast<std::size_t>(std::max(0, n - 1)));
    for (std::size_t k = 0; k < seams.size(); ++k)
        seams[k].left_column = static_cast<std::int32_t>(k);

    // Every tile of the slice, loaded whole and corrected, in the thread's
    // buffers, which keep their memory for the next slice.
    std::vector<std::unique_ptr<image_buffer>>& loaded = thread_tiles();
    while (loaded.size() < static_cast<std::size_t>(n))
        loaded.push_back(std::make_unique<image_buffer>());
    const tile_size reference = layout.reference();
    parallel_for(n, threads, loop_schedule::one_by_one, [&](std::int64_t j) {
        image_buffer& buffer = *loaded[static_cast<std::size_t>(j)];
        corrected_rows sink(buffer, settings.flat);
        if (tiles.stream(static_cast<std::int32_t>(j), sink))
            return;
        tiles.load(static_cast<std::int32_t>(j), buffer);
        image& tile = buffer.pixels();
        if (settings.flat && tile.width() == static_cast<int>(settings.flat->width) &&
            tile.height() == static_cast<int>(settings.flat->height))
            correct_tile(*settings.flat, tile, 1);
    });
    bool reference_sized = true;
    for (std::int32_t j = 0; j < n; ++j) {
        const image& tile = loaded[static_cast<std::size_t>(j)]->pixels();
        reference_sized = reference_sized && tile.width() == static_cast<int>(reference.width) &&
                          tile.height() == static_cast<int>(reference.height);
    }
    if (canvas.is_empty() || n == 0)
        return seams;
    if (!reference_sized || reference.width == 0 || reference.height == 0) {
        draw_plain(canvas, layout, loaded, threads);
        return seams;
    }

    slice_view s{layout, reference.width, reference.height, {}};
    s.columns.resize(static_cast<std::size_t>(n));
    for (std::int32_t j = 0; j < n; ++j)
        s.columns[static_cast<std::size_t>(j)].pixels =
            loaded[static_cast<std::size_t>(j)]->pixels().data();
    if (settings.register_px > 0)
        parallel_for(static_cast<std::int64_t>(seams.size()), threads, loop_schedule::one_by_one,
                     [&](std::int64_t k) {
                         seams[static_cast<std::size_t>(k)] =
                             register_seam(s, static_cast<std::int32_t>(k), settings.register_px);
                     });
    // Column 0 stays; each column lies where its seam puts it against its left neighbour.
    for (std::int32_t j = 0; j < n; ++j) {
        column_place& c = s.columns[static_cast<std::size_t>(j)];
        if (j > 0) {
            const column_place& left = s.columns[static_cast<std::size_t>(j) - 1];
            const seam_measure& m = seams[static_cast<std::size_t>(j) - 1];
            c.x_shift = left.x_shift + m.dx;
            c.y_shift = left.y_shift + m.dy;
        }
        c.left = layout.place(j) - layout.xoverlap() + c.x_shift;
        c.top = layout.shift(j) + c.y_shift;
    }
    const std::int64_t canvas_width = canvas.width();
    if (settings.match_gain)
        match_gains(s, seams, canvas_width, threads);

    // The band across a seam is at most the overlap, where both tiles lie
    // nominally, and at most the distance between seams.
    const std::int64_t widest = std::max<std::int64_t>(
        0, std::min<std::int64_t>(2 * std::int64_t{layout.xoverlap()}, layout.column_pitch()));
    const auto blend =
        static_cast<std::int32_t>(std::clamp<std::int64_t>(settings.blend_px, 0, widest));
    const row_drawer drawer(s, canvas_width, blend);
    std::uint16_t* const pixels = canvas.data();
    parallel_for(canvas.height(), threads, loop_schedule::blocks,
                 [&](std::int64_t y) { drawer.draw(pixels + y * canvas_width, y); });
    return seams;
}

}  // namespace orvane
