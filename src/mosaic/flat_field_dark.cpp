// The dark field estimated from the background of sampled tiles.
#include "mosaic/flat_field_dark.hpp"

#include "base/parallel.hpp"
#include "mosaic/flat_field_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane::flat_detail {

namespace {

// Each block pools at most this many values per tile.
constexpr std::int64_t values_per_block = 256;

// The densest value of a sample: the background's level where much of a
// block is background, whatever the bright part does. The narrowest span
// holding a quarter of the values sets a window (at least a unit, as pixel
// values are whole); the value with the most others within that window
// (the middle of a run of equals) is the peak, and the mean of the values
// within the window around it its level. Whole values with ties, and a pile
// at 0 where noise is clamped, do not pull it down.
double densest(std::vector<float>& values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size(), quarter = std::max<std::size_t>(1, n / 4);
    float span = std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i + quarter <= n; ++i)
        span = std::min(span, values[i + quarter - 1] - values[i]);
    const float h = std::max(1.0f, span);
    std::size_t lo = 0, hi = 0, best = 0, first = 0, last = 0;
    for (std::size_t i = 0; i < n; ++i) {
        while (values[lo] < values[i] - h)
            ++lo;
        while (hi < n && values[hi] <= values[i] + h)
            ++hi;
        if (hi - lo > best) {
            best = hi - lo;
            first = last = i;
        } else if (hi - lo == best && last + 1 == i) {
            last = i;
        }
    }
    const double centre = 0.5 * (double(values[first]) + double(values[last]));
    double sum = 0;
    std::size_t count = 0;
    for (const float v : values)
        if (std::abs(v - centre) <= h) {
            sum += v;
            ++count;
        }
    return count > 0 ? sum / double(count) : centre;
}

struct block_level {
    double level = 0, spread = 0;
};

// Per block, over every tile: the background's level and its spread (from
// the values below it, which the specimen does not reach).
std::vector<block_level> background_levels(std::vector<std::vector<float>>& samples,
                                           const tile_grid& g, int threads)
{
    std::vector<block_level> out(static_cast<std::size_t>(g.nx * g.ny));
    parallel_for(g.nx * g.ny, threads, loop_schedule::blocks, [&](std::int64_t b) {
        std::vector<float>& values = samples[static_cast<std::size_t>(b)];
        std::vector<float> below = values;
        block_level& r = out[static_cast<std::size_t>(b)];
        r.level = densest(values);
        below.erase(
            std::remove_if(below.begin(), below.end(), [&](float x) { return x > r.level; }),
            below.end());
        for (float& x : below)
            x = static_cast<float>(r.level) - x;
        if (!below.empty()) {
            std::nth_element(below.begin(), below.begin() + std::ptrdiff_t(below.size() / 2),
                             below.end());
            r.spread = 1.4826 * below[below.size() / 2];
        }
    });
    return out;
}

}  // namespace

double median_of(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(values.size() / 2),
                     values.end());
    return values[values.size() / 2];
}

void dark_samples::add(const std::vector<const image*>& tiles, int threads)
{
    values.resize(static_cast<std::size_t>(g.nx * g.ny));
    parallel_for(g.nx * g.ny, threads, loop_schedule::blocks, [&](std::int64_t b) {
        const std::int64_t x0 = (b % g.nx) * g.block_w, y0 = (b / g.nx) * g.block_h;
        const std::int64_t x1 = std::min(x0 + g.block_w, g.width);
        const std::int64_t y1 = std::min(y0 + g.block_h, g.height);
        const std::int64_t count = (x1 - x0) * (y1 - y0);
        const std::int64_t step = std::max<std::int64_t>(1, count / values_per_block);
        std::vector<float>& out = values[static_cast<std::size_t>(b)];
        for (const image* t : tiles)
            for (std::int64_t i = 0; i < count; i += step)
                out.push_back(static_cast<float>((*t)(static_cast<unsigned>(x0 + i % (x1 - x0)),
                                                      static_cast<unsigned>(y0 + i / (x1 - x0)))));
    });
}

dark_estimate estimate_dark(dark_samples samples, int threads)
{
    const tile_grid& g = samples.g;
    samples.values.resize(static_cast<std::size_t>(g.nx * g.ny));
    const std::vector<block_level> levels = background_levels(samples.values, g, threads);
    std::vector<equation> eqs;
    std::vector<double> spreads;
    for (std::int64_t b = 0; b < g.nx * g.ny; ++b) {
        equation e;
        e.x = evaluate(model::dark, g.u(double(b % g.nx * g.block_w) + 0.5 * double(g.block_w - 1)),
                       g.v(double(b / g.nx * g.block_h) + 0.5 * double(g.block_h - 1)));
        e.value = levels[std::size_t(b)].level;
        eqs.push_back(e);
        spreads.push_back(levels[std::size_t(b)].spread);
    }
    const fit_result fit = robust_fit(eqs, term_count(model::dark), 1, 1);
    dark_estimate out;
    out.spread = median_of(spreads);
    std::vector<float>& dark = out.dark;
    dark.resize(std::size_t(g.width * g.height));
    parallel_for(g.height, threads, loop_schedule::blocks, [&](std::int64_t y) {
        for (std::int64_t x = 0; x < g.width; ++x) {
            const terms f = evaluate(model::dark, g.u(double(x)), g.v(double(y)));
            double d = fit.offsets[0];
            for (std::size_t k = 0; k < term_count(model::dark); ++k)
                d += fit.coefficients[k] * f[k];
            dark[std::size_t(y * g.width + x)] = static_cast<float>(std::max(0.0, d));
        }
    });
    return out;
}

}  // namespace orvane::flat_detail
