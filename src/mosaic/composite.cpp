// Where the pieces of a slice lie, over each other or over nothing, and the one place pixels land.
#include "mosaic/composite.hpp"

#include "base/parallel.hpp"
#include "base/per_thread.hpp"

#include <algorithm>

namespace orvane {

namespace {

// Where pieces overlap, the later column's piece is what shows: its pixels,
// its zeros where it shows no tile row, as if pieces were drawn one over the
// other in column order.
void hard_cut(const overlap_area&, std::int64_t, std::int64_t, std::uint16_t* canvas,
              const std::uint16_t* incoming, std::int64_t count)
{
    std::copy(incoming, incoming + count, canvas);
}

// The parts of `area` (all its rows) that earlier pieces cover, each with
// the earlier column on top there: every piece covers rows from 0 down, so
// within one run of canvas columns the higher columns lie on top down to
// their last row and the lower ones show below that.
std::vector<overlap_area> find_overlaps(const drawn_area& area,
                                        const std::vector<drawn_area>& earlier)
{
    std::vector<std::int64_t> edges{area.x_begin, area.x_end};
    for (const drawn_area& e : earlier)
        for (const std::int64_t x : {e.x_begin, e.x_end})
            if (x > area.x_begin && x < area.x_end)
                edges.push_back(x);
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    std::vector<overlap_area> found;
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) {
        const std::int64_t x0 = edges[i], x1 = edges[i + 1];
        std::int64_t done = 0;  // the rows above are decided
        for (auto k = static_cast<std::int32_t>(earlier.size()) - 1; k >= 0 && done < area.rows;
             --k) {
            const drawn_area& e = earlier[static_cast<std::size_t>(k)];
            if (e.x_begin > x0 || e.x_end < x1 || e.rows <= done)
                continue;
            const std::int64_t end = std::min(e.rows, area.rows);
            // Runs of columns that end up alike join into one area.
            overlap_area* const last = found.empty() ? nullptr : &found.back();
            if (last && last->x_end == x0 && last->earlier == k && last->y_begin == done &&
                last->y_end == end)
                last->x_end = x1;
            else
                found.push_back({x0, x1, done, end, k});
            done = end;
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const overlap_area& a, const overlap_area& b) {
        return a.x_begin < b.x_begin;
    });
    return found;
}

}  // namespace

composite_plan::composite_plan(image& canvas, const mosaic_layout& layout)
    : canvas_(canvas), layout_(layout), rule_(hard_cut),
      pieces_(static_cast<std::size_t>(std::max(0, layout.columns()))), overlaps_(pieces_.size())
{
}

const piece_layout& composite_plan::place(std::int32_t column, image_size tile)
{
    std::optional<piece_layout>& piece = pieces_[index(column)];
    piece.emplace(canvas_, tile, layout_, column);
    std::vector<drawn_area> earlier;
    for (std::int32_t k = 0; k < column; ++k)
        earlier.push_back(pieces_[index(k)] ? pieces_[index(k)]->area() : drawn_area{});
    overlaps_[index(column)] =
        piece->empty ? std::vector<overlap_area>{} : find_overlaps(piece->area(), earlier);
    return *piece;
}

bool composite_plan::place_in_band(std::int32_t column, image_size tile)
{
    std::optional<piece_layout>& piece = pieces_[index(column)];
    piece.emplace(canvas_, tile, layout_, column);
    overlaps_[index(column)].clear();
    const drawn_area area = piece->area();
    return piece->empty ||
           (area.x_begin >= layout_.place(column) && area.x_end <= layout_.place(column + 1));
}

void composite_plan::draw_row(std::int32_t column, std::int64_t y,
                              const std::uint16_t* tile_row) const
{
    if (overlaps_[index(column)].empty())
        piece(column).draw_row(canvas_.data(), y, tile_row);
    else
        draw_overlapped_row(column, y, tile_row);
}

// The piece's row is made aside, then its plain parts copied and its
// overlaps handed to the rule.
void composite_plan::draw_overlapped_row(std::int32_t column, std::int64_t y,
                                         const std::uint16_t* tile_row) const
{
    const piece_layout& p = piece(column);
    struct incoming_tag;
    auto& incoming = per_thread<incoming_tag, std::vector<std::uint16_t>>();
    if (incoming.size() < static_cast<std::size_t>(p.canvas_width))
        incoming.resize(static_cast<std::size_t>(p.canvas_width));
    p.show_row(incoming.data(), tile_row);
    std::uint16_t* const out = canvas_.data() + y * p.canvas_width;
    const drawn_area area = p.area();
    std::int64_t x = area.x_begin;  // the columns before are drawn
    for (const overlap_area& o : overlaps_[index(column)]) {
        if (y < o.y_begin || y >= o.y_end)
            continue;
        std::copy(incoming.data() + x, incoming.data() + o.x_begin, out + x);
        rule_(o, o.x_begin, y, out + o.x_begin, incoming.data() + o.x_begin, o.x_end - o.x_begin);
        x = o.x_end;
    }
    std::copy(incoming.data() + x, incoming.data() + area.x_end, out + x);
}

void composite_plan::draw_rows_without_tile(std::int32_t column) const
{
    const piece_layout& p = piece(column);
    for (std::int64_t y = 0; !p.empty && y < p.rows; ++y)
        if (!p.shows_tile_row(y))
            draw_row(column, y, nullptr);
}

void composite_plan::clear_uncovered(int threads) const
{
    if (canvas_.is_empty())
        return;
    std::vector<drawn_area> areas;
    for (const std::optional<piece_layout>& piece : pieces_)
        if (piece)
            areas.push_back(piece->area());
    const std::int64_t width = canvas_.width(), height = canvas_.height();
    std::sort(areas.begin(), areas.end(),
              [](const drawn_area& a, const drawn_area& b) { return a.x_begin < b.x_begin; });
    std::uint16_t* const pixels = canvas_.data();
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

}  // namespace orvane
