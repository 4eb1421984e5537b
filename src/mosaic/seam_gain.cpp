// Gains over the overlaps of a slice: each column brought to its neighbours' brightness, the
// mosaic's mean kept.
#include "mosaic/seam_view.hpp"

#include "base/parallel.hpp"

#include <algorithm>
#include <cmath>

namespace orvane::seam_detail {

namespace {

// An overlap whose mean is below this many counts on either side holds too
// little signal to compare gains by; a ratio beyond these is no gain.
constexpr double min_gain_signal = 16.0;
constexpr double max_gain_ratio = 4.0;

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

}  // namespace

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

}  // namespace orvane::seam_detail
