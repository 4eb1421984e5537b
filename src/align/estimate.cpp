// Pair estimation: phase correlation of reduced bands, then a cross-correlation climb to the pixel.
#include "align/estimate.hpp"

#include "mosaic/correlate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <utility>

namespace orvane::align {

namespace {

// Peaks taken from each correlation surface. A small overlap in a wide band
// gives a low peak that noise can outrank; cross-correlation sorts them.
constexpr int peaks_per_surface = 8;
// Candidates climbed at the coarse level, and those refined further: all
// within this much of the best coarse score.
constexpr std::size_t climbed_candidates = 3;
constexpr double refine_margin = 0.1;
// Narrower bands are tried down to this many reduced columns.
constexpr int narrowest_band = 8;

template <class T> double ncc(const grid<T>& left, const grid<T>& right, int overlap, int shift)
{
    if (overlap <= 0 || overlap > left.width || overlap > right.width)
        return 0.0;
    const int first = std::max(0, -shift);
    const int last = std::min(right.height, left.height - shift);
    if (last <= first)
        return 0.0;
    return window_ncc(left, right, left.width - overlap, shift, 0, overlap, first, last);
}

// The search limits at one level of reduction.
struct level_bounds {
    int min_overlap, max_overlap, max_shift;

    bool holds(int overlap, int shift) const
    {
        return overlap >= min_overlap && overlap <= max_overlap && std::abs(shift) <= max_shift;
    }
};

// At reduction `factor` the full-resolution limits, rounded outwards so the
// next finer level can still reach them; at full resolution they are exact.
level_bounds bounds_at(const search_limits& limits, int factor, int columns)
{
    if (factor == 1)
        return {limits.min_overlap, std::min(limits.max_overlap, columns), limits.max_shift};
    return {std::max(1, limits.min_overlap / factor),
            std::min((limits.max_overlap + factor - 1) / factor, columns),
            (limits.max_shift + factor - 1) / factor};
}

// The cross-correlation of places on one pair of grids, each scored once
// however many climbs on them cross it: climbs from nearby readings mostly
// cross the same places.
template <class T> class place_scores {
public:
    place_scores(const grid<T>& left, const grid<T>& right) : left_(left), right_(right) {}

    double operator()(int overlap, int shift)
    {
        const auto key = std::make_pair(overlap, shift);
        const auto found = seen_.find(key);
        if (found != seen_.end())
            return found->second;
        return seen_[key] = ncc(left_, right_, overlap, shift);
    }

private:
    const grid<T>& left_;
    const grid<T>& right_;
    std::map<std::pair<int, int>, double> seen_;
};

// Moves from start to the best of its eight neighbours until none is better:
// a local maximum of the cross-correlation. With `wide`, a local maximum is
// left for a better place two steps away, so a ripple of noise or a blurred
// ridge on the way does not end the climb short of the peak.
template <class T>
candidate climb(place_scores<T>& score, candidate start, const level_bounds& bounds, bool wide)
{
    start.overlap = std::clamp(start.overlap, bounds.min_overlap,
                               std::max(bounds.min_overlap, bounds.max_overlap));
    start.shift = std::clamp(start.shift, -bounds.max_shift, bounds.max_shift);
    candidate best{start.overlap, start.shift, score(start.overlap, start.shift)};
    // The best place at Chebyshev distance `reach` from best, if better.
    auto step = [&](int reach) {
        candidate next = best;
        for (int d_overlap = -reach; d_overlap <= reach; ++d_overlap)
            for (int d_shift = -reach; d_shift <= reach; ++d_shift) {
                if (std::max(std::abs(d_overlap), std::abs(d_shift)) != reach)
                    continue;
                const int o = best.overlap + d_overlap, s = best.shift + d_shift;
                if (!bounds.holds(o, s))
                    continue;
                const double value = score(o, s);
                if (value > next.score)
                    next = {o, s, value};
            }
        return next;
    };
    for (;;) {
        candidate next = step(1);
        if (next.overlap == best.overlap && next.shift == best.shift && wide)
            next = step(2);
        if (next.overlap == best.overlap && next.shift == best.shift)
            return best;
        best = next;
    }
}

bool better(const candidate& a, const candidate& b) { return a.score > b.score; }

void add_unique(std::vector<candidate>& list, const candidate& c)
{
    for (const candidate& known : list)
        if (known.overlap == c.overlap && known.shift == c.shift)
            return;
    list.push_back(c);
}

// The rightmost (from_right) or leftmost `columns` columns of a band.
pixels columns_of(const pixels& band, int columns, bool from_right)
{
    pixels out(columns, band.height);
    const int x0 = from_right ? band.width - columns : 0;
    for (int y = 0; y < band.height; ++y)
        std::copy_n(band.row(y) + x0, columns, out.row(y));
    return out;
}

}  // namespace

double overlap_ncc(const plane& left, const plane& right, int overlap, int shift)
{
    return ncc(left, right, overlap, shift);
}

double overlap_ncc(const pixels& left, const pixels& right, int overlap, int shift)
{
    return ncc(left, right, overlap, shift);
}

int coarse_factor(int band_columns, int height)
{
    int factor = 1;
    while ((band_columns / factor > 256 || height / factor > 512) &&
           band_columns / (2 * factor) >= 2 * narrowest_band && height / (2 * factor) >= 32)
        factor *= 2;
    return factor;
}

std::vector<candidate> coarse_candidates(plane raw_left, plane raw_right, int factor,
                                         const search_limits& limits)
{
    const plane calm_left = calmed(std::move(raw_left)), calm_right = calmed(std::move(raw_right));
    const plane& left = calm_left;
    const plane& right = calm_right;
    const int rows = fast_size_below(std::min(left.height, right.height), false);
    const int widest = fast_size_below(std::min(left.width, right.width), true);
    if (rows < 4 || widest < 2)
        return {};
    const level_bounds bounds = bounds_at(limits, factor, std::min(left.width, right.width));
    // Fewer than two reduced columns are too few to rank by.
    const level_bounds ranked{std::max(2, bounds.min_overlap), bounds.max_overlap,
                              bounds.max_shift};

    std::vector<int> widths{widest};
    while (widths.back() / 4 >= narrowest_band)
        widths.push_back(fast_size_below(widths.back() / 4, true));

    std::vector<candidate> found;
    for (const int width : widths) {
        const plane a = crop(left, left.width - width, width, rows);
        const plane b = crop(right, 0, width, rows);
        for (const peak& p : correlation_peaks(a, b, peaks_per_surface)) {
            // The translation is known modulo the cropped size: every reading
            // within reach counts. An overlap wider than the cropped band
            // (the planes may be wider) reads as a negative translation.
            for (const int overlap : {width - p.dx, 2 * width - p.dx})
                for (const int shift : {p.dy, p.dy - rows}) {
                    const candidate c{overlap, shift, 0.0};
                    if (ranked.holds(c.overlap, c.shift))
                        add_unique(found, c);
                }
        }
    }
    place_scores<float> scores(left, right);
    for (candidate& c : found)
        c.score = scores(c.overlap, c.shift);
    std::sort(found.begin(), found.end(), better);

    std::vector<candidate> climbed;
    for (std::size_t i = 0; i < found.size() && i < climbed_candidates; ++i)
        add_unique(climbed, climb(scores, found[i], ranked, true));
    std::sort(climbed.begin(), climbed.end(), better);
    std::vector<candidate> kept;
    for (const candidate& c : climbed)
        if (c.score > 0.0 && c.score >= climbed.front().score - refine_margin)
            kept.push_back(c);
    if (kept.empty())
        return kept;
    // The climbs may all end on one peak while another reading, far from
    // it, scores nearly as well already (a periodic specimen shows its true
    // place and its aliases alike). Such a reading is climbed too, and where
    // it ends on a peak of its own, far from those kept and nearly as high,
    // that peak is refined as well, so the full-resolution stage can tell
    // whether the best is ambiguous. A shoulder of the best peak climbs back
    // onto it and costs nothing further.
    auto far_from_kept = [&](const candidate& c) {
        for (const candidate& k : kept)
            if (std::abs(c.overlap - k.overlap) <= rival_distance &&
                std::abs(c.shift - k.shift) <= rival_distance)
                return false;
        return true;
    };
    const double floor = kept.front().score - 2 * rival_margin;
    candidate rival{0, 0, -2.0};
    for (std::size_t i = 0, tried = 0; i < found.size() && tried < climbed_candidates; ++i) {
        if (found[i].score < floor || !far_from_kept(found[i]))
            continue;
        ++tried;
        const candidate end = climb(scores, found[i], ranked, true);
        if (end.score >= floor && end.score > rival.score && far_from_kept(end))
            rival = end;
    }
    // One rival suffices to tell; only the highest costs a refinement.
    if (rival.score >= floor)
        kept.push_back(rival);
    return kept;
}

int refine_columns(const std::vector<candidate>& candidates, int factor, int available)
{
    int widest = 0;
    for (const candidate& c : candidates)
        widest = std::max(widest, c.overlap);
    // Each level below may move a candidate by a few of its pixels: two
    // reduced columns of room cover what the levels add up to.
    const int columns = factor * (widest + 2);
    return std::min(columns, available - available % factor);
}

alignment refine(pixels raw_left, pixels raw_right, const std::vector<candidate>& candidates,
                 int factor, const search_limits& limits)
{
    alignment result;
    if (candidates.empty())
        return result;
    const pixels left = calmed(std::move(raw_left)), right = calmed(std::move(raw_right));
    const int columns = std::min(left.width, right.width);
    // The levels of reduction between the coarse one and full resolution.
    std::vector<std::pair<plane, plane>> levels;  // index i: factor 2^i, for i >= 1
    levels.emplace_back();
    for (int f = 2; f < factor; f *= 2)
        levels.emplace_back(reduce(left, f), reduce(right, f));
    std::vector<place_scores<float>> level_scores;
    for (const auto& [level_left, level_right] : levels)
        level_scores.emplace_back(level_left, level_right);
    place_scores<std::uint16_t> full_scores(left, right);

    std::vector<candidate> ends;
    for (candidate c : candidates) {
        int f = factor;
        for (std::size_t level = levels.size(); f > 1;) {
            f /= 2;
            --level;
            c.overlap *= 2;
            c.shift *= 2;
            if (f > 1)
                c = climb(level_scores[level], c, bounds_at(limits, f, columns / f), false);
        }
        // At full resolution the coarser levels have brought each candidate
        // next to its peak: the short climb suffices, where every place
        // scored costs the most.
        c = climb(full_scores, c, bounds_at(limits, 1, columns), factor == 1);
        ends.push_back(c);
    }
    std::sort(ends.begin(), ends.end(), better);
    const candidate& best = ends.front();
    result.overlap = best.overlap;
    result.shift = best.shift;
    result.score = best.score;
    result.found = best.score > 0.0;
    result.at_edge = best.overlap <= limits.min_overlap || best.overlap >= limits.max_overlap ||
                     best.overlap >= columns || std::abs(best.shift) >= limits.max_shift;
    for (const candidate& c : ends)
        if (std::abs(c.overlap - best.overlap) > rival_distance ||
            std::abs(c.shift - best.shift) > rival_distance) {
            result.rival_overlap = c.overlap;
            result.rival_shift = c.shift;
            result.rival_score = c.score;
            result.ambiguous = result.found && c.score >= best.score - rival_margin;
            break;
        }
    return result;
}

alignment estimate_pair(const pixels& left, const pixels& right, const search_limits& limits)
{
    const int band = std::min(left.width, right.width);
    const int factor = coarse_factor(band, std::min(left.height, right.height));
    const int reduced_band = band - band % factor;
    const std::vector<candidate> candidates =
        coarse_candidates(reduce(columns_of(left, reduced_band, true), factor),
                          reduce(columns_of(right, reduced_band, false), factor), factor, limits);
    const int columns = refine_columns(candidates, factor, band);
    if (candidates.empty() || columns <= 0)
        return {};
    return refine(columns_of(left, columns, true), columns_of(right, columns, false), candidates,
                  factor, limits);
}

}  // namespace orvane::align
