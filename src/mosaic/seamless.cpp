// A slice without visible seams: whole tiles corrected, each seam's overlap registered and its
// gains compared, then every canvas row drawn once with the seams blended.
#include "mosaic/seamless.hpp"

#include "base/parallel.hpp"
#include "mosaic/composite.hpp"
#include "mosaic/correlate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <utility>

namespace orvane {

namespace {

// Peaks taken from the correlation surface of one seam.
constexpr int peaks_per_seam = 8;
// A match scoring less than this (normalised cross-correlation) is no match.
constexpr double min_match_score = 0.3;
// Overlaps this small or smaller cannot be phase-correlated.
constexpr int min_strip_columns = 8;
constexpr int min_strip_rows = 16;
// The middle of a taller or wider overlap is matched: a thousand rows tell a
// whole-pixel shift apart as well as all of them, at a fraction of the cost.
constexpr int max_strip_columns = 256;
constexpr int max_strip_rows = 1024;
// An overlap whose mean is below this many counts on either side holds too
// little signal to compare gains by; a ratio beyond these is no gain.
constexpr double min_gain_signal = 16.0;
constexpr double max_gain_ratio = 4.0;

// Each slice thread's tiles, kept from one slice to the next.
std::vector<std::unique_ptr<image_buffer>>& thread_tiles()
{
    thread_local std::vector<std::unique_ptr<image_buffer>> tiles;
    return tiles;
}

// A half-open interval of canvas columns.
struct span {
    std::int64_t begin = 0, end = 0;
    bool empty() const { return begin >= end; }
};

span intersect(span a, span b) { return {std::max(a.begin, b.begin), std::min(a.end, b.end)}; }

// Where each corrected tile lies on the canvas and how bright it is drawn.
// Tile column j's flipped column f (f = W - 1 - tile column) and tile row t
// land on canvas column place(j) - xoverlap + x_shift + f and row
// shift(j) + y_shift + t.
struct column_place {
    const std::uint16_t* pixels = nullptr;  // the tile's first width * height values
    std::int64_t x_shift = 0, y_shift = 0;
    float gain = 1.0f;
    std::int64_t left = 0;  // the canvas column of flipped column 0
    std::int64_t top = 0;   // the canvas row of tile row 0
};

// The tiles of one slice, all of the reference size, and the layout.
struct slice_view {
    const mosaic_layout& layout;
    std::int64_t width = 0, height = 0;  // of every tile
    std::vector<column_place> columns;

    std::int32_t count() const { return static_cast<std::int32_t>(columns.size()); }
};

// The flipped columns [f0, f0 + width) and tile rows [t0, t0 + rows) of a
// tile as a float plane, in flipped order.
plane flipped_strip(const std::uint16_t* tile, std::int64_t tile_width, std::int64_t f0, int width,
                    std::int64_t t0, int rows)
{
    plane out(width, rows);
    for (int y = 0; y < rows; ++y) {
        const std::uint16_t* in = tile + (t0 + y) * tile_width + (tile_width - 1 - f0);
        float* o = out.row(y);
        for (int x = 0; x < width; ++x)
            o[x] = in[-x];
    }
    return out;
}

// Normalised cross-correlation of b(y, x) with a(y + dy, x + dx) where both
// exist; 0 where either side is flat or nothing overlaps.
double shifted_ncc(const plane& a, const plane& b, int dx, int dy)
{
    const int x0 = std::max(0, -dx), x1 = std::min(b.width, a.width - dx);
    const int y0 = std::max(0, -dy), y1 = std::min(b.height, a.height - dy);
    if (x1 - x0 < 2 || y1 - y0 < 2)
        return 0.0;
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (int y = y0; y < y1; ++y) {
        const float* pa = a.row(y + dy) + dx;
        const float* pb = b.row(y);
#pragma omp simd reduction(+ : sa, sb, saa, sbb, sab)
        for (int x = x0; x < x1; ++x) {
            const double u = pa[x], v = pb[x];
            sa += u;
            sb += v;
            saa += u * u;
            sbb += v * v;
            sab += u * v;
        }
    }
    const double n = static_cast<double>(x1 - x0) * (y1 - y0);
    const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
    // Flat within rounding: no structure, nothing to compare.
    if (va <= 1e-9 * saa || vb <= 1e-9 * sbb || va <= 0 || vb <= 0)
        return 0.0;
    return (sab - sa * sb / n) / std::sqrt(va * vb);
}

struct match {
    int dx = 0, dy = 0;
    double score = 0;
};

// Where the right column of a seam lies against its nominal place, within
// +-range pixels, as the aligner decides it: outliers calmed, translations
// from the phase correlation of the nominal overlap, each climbed to the
// best normalised cross-correlation nearby; unreliable when nothing scores
// enough, when a place far from the best scores nearly as well, or when the
// best lies on the limit of the search.
seam_measure register_seam(const slice_view& s, std::int32_t left, std::int32_t range)
{
    seam_measure m;
    m.left_column = left;
    const std::int64_t w = s.width, h = s.height;
    const std::int64_t overlap = 2 * std::int64_t{s.layout.xoverlap()};
    const std::int64_t yoffset = s.layout.yoffset();
    // Tile rows of the left tile that the right one also shows, nominally.
    const std::int64_t r0 = std::max<std::int64_t>(0, yoffset);
    const std::int64_t r1 = std::min<std::int64_t>(h, h + yoffset);
    const int columns =
        overlap > 0 && overlap <= w
            ? fast_size_below(static_cast<int>(std::min<std::int64_t>(overlap, max_strip_columns)),
                              true)
            : 0;
    const int rows =
        r1 > r0 ? fast_size_below(static_cast<int>(std::min<std::int64_t>(r1 - r0, max_strip_rows)),
                                  false)
                : 0;
    if (columns < min_strip_columns || rows < min_strip_rows)
        return m;
    // The phase correlation tells translations apart only within half the strip.
    const int reach = std::min<int>(range, std::min(columns, rows) / 2 - 1);
    const std::int64_t f_off = (overlap - columns) / 2, r_off = (r1 - r0 - rows) / 2;
    const plane a = calmed(flipped_strip(s.columns[static_cast<std::size_t>(left)].pixels, w,
                                         w - overlap + f_off, columns, r0 + r_off, rows));
    const plane b = calmed(flipped_strip(s.columns[static_cast<std::size_t>(left) + 1].pixels, w,
                                         f_off, columns, r0 + r_off - yoffset, rows));

    std::map<std::pair<int, int>, double> seen;
    auto score = [&](int dx, int dy) {
        const auto key = std::make_pair(dx, dy);
        const auto found = seen.find(key);
        if (found != seen.end())
            return found->second;
        return seen[key] = shifted_ncc(a, b, dx, dy);
    };
    auto within = [&](int dx, int dy) { return std::abs(dx) <= reach && std::abs(dy) <= reach; };
    std::vector<match> ends;
    for (const peak& p : correlation_peaks(a, b, peaks_per_seam)) {
        match c{p.dx > columns / 2 ? p.dx - columns : p.dx, p.dy > rows / 2 ? p.dy - rows : p.dy};
        if (!within(c.dx, c.dy))
            continue;
        c.score = score(c.dx, c.dy);
        // Up to the best of the eight neighbours until none is better.
        for (;;) {
            match next = c;
            for (int ddy = -1; ddy <= 1; ++ddy)
                for (int ddx = -1; ddx <= 1; ++ddx) {
                    const int dx = c.dx + ddx, dy = c.dy + ddy;
                    if ((ddx == 0 && ddy == 0) || !within(dx, dy))
                        continue;
                    const double v = score(dx, dy);
                    if (v > next.score)
                        next = {dx, dy, v};
                }
            if (next.dx == c.dx && next.dy == c.dy)
                break;
            c = next;
        }
        ends.push_back(c);
    }
    if (ends.empty())
        return m;
    std::stable_sort(ends.begin(), ends.end(),
                     [](const match& p, const match& q) { return p.score > q.score; });
    const match& best = ends.front();
    m.score = best.score;
    bool ambiguous = false;
    for (const match& c : ends)
        if (std::abs(c.dx - best.dx) > rival_distance ||
            std::abs(c.dy - best.dy) > rival_distance) {
            ambiguous = c.score >= best.score - rival_margin;
            break;
        }
    const bool at_edge = std::abs(best.dx) >= reach || std::abs(best.dy) >= reach;
    m.reliable = best.score >= min_match_score && !ambiguous && !at_edge;
    if (m.reliable) {
        m.dx = best.dx;
        m.dy = best.dy;
    }
    return m;
}

// The canvas columns column j's tile covers on canvas row y; empty where it
// shows no tile row there.
span coverage(const slice_view& s, std::int32_t j, std::int64_t y, std::int64_t canvas_width)
{
    const column_place& c = s.columns[static_cast<std::size_t>(j)];
    const std::int64_t t = y - c.top;
    if (t < 0 || t >= s.height)
        return {};
    return intersect({c.left, c.left + s.width}, {0, canvas_width});
}

// Sums over the canvas pixels both tiles of a seam cover: the left tile's
// and the right tile's values there, and their count.
struct overlap_sums {
    double left = 0, right = 0;
    std::int64_t count = 0;
};

overlap_sums sum_overlap(const slice_view& s, std::int32_t left, std::int64_t canvas_width)
{
    overlap_sums sums;
    const column_place& l = s.columns[static_cast<std::size_t>(left)];
    const column_place& r = s.columns[static_cast<std::size_t>(left) + 1];
    const std::int64_t y0 = std::max(l.top, r.top), y1 = std::min(l.top, r.top) + s.height;
    for (std::int64_t y = y0; y < y1; ++y) {
        const span both =
            intersect(coverage(s, left, y, canvas_width), coverage(s, left + 1, y, canvas_width));
        if (both.empty())
            continue;
        const std::uint16_t* pl = l.pixels + (y - l.top) * s.width + (s.width - 1 + l.left);
        const std::uint16_t* pr = r.pixels + (y - r.top) * s.width + (s.width - 1 + r.left);
        std::uint64_t sl = 0, sr = 0;
#pragma omp simd reduction(+ : sl, sr)
        for (std::int64_t x = both.begin; x < both.end; ++x) {
            sl += pl[-x];
            sr += pr[-x];
        }
        sums.left += static_cast<double>(sl);
        sums.right += static_cast<double>(sr);
        sums.count += both.end - both.begin;
    }
    return sums;
}

// The sum of the pixels a tile shows on the plain canvas: its columns
// trimmed by xoverlap on both sides, all its rows.
double shown_sum(const std::uint16_t* tile, std::int64_t width, std::int64_t height,
                 std::int64_t xoverlap)
{
    // A negative xoverlap shows zeros beside the tile, which add nothing.
    const std::int64_t first = std::clamp<std::int64_t>(xoverlap, 0, width);
    const std::int64_t last = std::clamp<std::int64_t>(width - xoverlap, first, width);
    double total = 0;
    for (std::int64_t t = 0; t < height; ++t) {
        const std::uint16_t* in = tile + t * width;
        std::uint64_t sum = 0;
#pragma omp simd reduction(+ : sum)
        for (std::int64_t x = first; x < last; ++x)
            sum += in[x];
        total += static_cast<double>(sum);
    }
    return total;
}

// Each column's gain: the right column of each seam brought to its left
// neighbour's brightness over their overlap, then all scaled so the pixels
// the plain mosaic shows keep their mean. A seam with too little signal
// leaves its neighbours' ratio 1.
void match_gains(slice_view& s, std::vector<seam_measure>& seams, std::int64_t canvas_width,
                 int threads)
{
    const std::int32_t n = s.count();
    std::vector<double> ratio(seams.size(), 1.0), shown(static_cast<std::size_t>(n), 0.0);
    parallel_for(static_cast<std::int64_t>(seams.size()) + n, threads, loop_schedule::one_by_one,
                 [&](std::int64_t k) {
                     if (k < static_cast<std::int64_t>(seams.size())) {
                         const overlap_sums o =
                             sum_overlap(s, static_cast<std::int32_t>(k), canvas_width);
                         if (o.count == 0)
                             return;
                         const double l = o.left / o.count, r = o.right / o.count;
                         if (l < min_gain_signal || r < min_gain_signal)
                             return;
                         const double q = l / r;
                         if (q <= max_gain_ratio && q >= 1.0 / max_gain_ratio)
                             ratio[static_cast<std::size_t>(k)] = q;
                     } else {
                         const auto j =
                             static_cast<std::size_t>(k - static_cast<std::int64_t>(seams.size()));
                         shown[j] =
                             shown_sum(s.columns[j].pixels, s.width, s.height, s.layout.xoverlap());
                     }
                 });
    std::vector<double> relative(static_cast<std::size_t>(n), 1.0);
    for (std::size_t j = 1; j < relative.size(); ++j)
        relative[j] = relative[j - 1] * ratio[j - 1];
    double before = 0, after = 0;
    for (std::size_t j = 0; j < relative.size(); ++j) {
        before += shown[j];
        after += shown[j] * relative[j];
    }
    // A dark slice keeps its gains at 1: nothing to anchor them by.
    const double anchor = after > 0 && before > 0 ? before / after : 0.0;
    for (std::size_t j = 0; j < relative.size(); ++j)
        s.columns[j].gain = anchor > 0 ? static_cast<float>(relative[j] * anchor) : 1.0f;
    for (std::size_t k = 0; k < seams.size(); ++k) {
        seams[k].gain_left = s.columns[k].gain;
        seams[k].gain_right = s.columns[k + 1].gain;
    }
}

inline std::uint16_t rounded(float v)
{
    // v >= 0: the values and the weights are.
    return v >= 65535.0f ? std::uint16_t{65535} : static_cast<std::uint16_t>(v + 0.5f);
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
        thread_local std::vector<span> cover;
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
#pragma omp simd
            for (std::int64_t i = x.begin; i < x.end; ++i)
                out[i] = rounded(static_cast<float>(in[base - i]) * gain);
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
        const float* w = weights_.data();
#pragma omp simd
        for (std::int64_t i = both.begin; i < both.end; ++i) {
            const float vl = static_cast<float>(in_l[base_l - i]) * gain_l;
            const float vr = static_cast<float>(in_r[base_r - i]) * gain_r;
            out[i] = rounded(vl + (vr - vl) * w[i - band_start]);
        }
        fill_from(out, y, {both.end, x.end}, own, other, cover);
    }

    const slice_view& s_;
    std::int64_t canvas_width_;
    std::int32_t blend_;
    std::vector<float> weights_;
};

// Tiles of another size than the reference: their pieces may overlap, which
// the composite step decides, so they are drawn as the plain mosaic is,
// each corrected by the flat field where it has the field's size.
void draw_plain(image& canvas, const mosaic_layout& layout,
                const std::vector<std::unique_ptr<image_buffer>>& tiles, int threads)
{
    composite_plan plan(canvas, layout);
    for (std::int32_t j = 0; j < layout.columns(); ++j) {
        const image& tile = tiles[static_cast<std::size_t>(j)]->pixels();
        const piece_layout& piece = plan.place(j, image_size{tile.width(), tile.height()});
        if (piece.empty)
            continue;
        const std::uint16_t* const pixels = tile.data();
        parallel_for(piece.rows, threads, loop_schedule::blocks, [&](std::int64_t y) {
            plan.draw_row(j, y,
                          piece.shows_tile_row(y) ? pixels + (y - piece.shift) * piece.tile_width
                                                  : nullptr);
        });
    }
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
