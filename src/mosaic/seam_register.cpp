// Registration of one seam: where the right column's tile fits its left neighbour's over their
// overlap, decided as the aligner decides a match.
#include "mosaic/seam_view.hpp"

#include "mosaic/correlate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <utility>

namespace orvane::seam_detail {

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
    return window_ncc(a, b, dx, dy, x0, x1, y0, y1);
}

struct match {
    int dx = 0, dy = 0;
    double score = 0;
};

}  // namespace

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
}  // namespace orvane::seam_detail
