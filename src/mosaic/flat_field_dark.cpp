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
constexpr std::int64_t values_per_block = 1024;

// The densest value of a sample (the half-sample mode): the background's
// level where most of a block is background, whatever the bright part does.
double densest(std::vector<float>& values)
{
    std::sort(values.begin(), values.end());
    std::size_t lo = 0, n = values.size();
    while (n > 3) {
        const std::size_t half = (n + 1) / 2;
        std::size_t best = lo;
        float narrowest = std::numeric_limits<float>::infinity();
        for (std::size_t i = lo; i + half <= lo + n; ++i)
            if (values[i + half - 1] - values[i] < narrowest) {
                narrowest = values[i + half - 1] - values[i];
                best = i;
            }
        lo = best;
        n = half;
    }
    double sum = 0;
    for (std::size_t i = lo; i < lo + n; ++i)
        sum += values[i];
    return n > 0 ? sum / double(n) : 0;
}

struct block_level {
    double level = 0, spread = 0;
};

// Per block, over every tile: the background's level and its spread (from
// the values below it, which the specimen does not reach).
std::vector<block_level> background_levels(const std::vector<const image*>& tiles,
                                           const tile_grid& g, int threads)
{
    std::vector<block_level> out(static_cast<std::size_t>(g.nx * g.ny));
    parallel_for(g.nx * g.ny, threads, loop_schedule::blocks, [&](std::int64_t b) {
        const std::int64_t x0 = (b % g.nx) * g.block_w, y0 = (b / g.nx) * g.block_h;
        const std::int64_t x1 = std::min(x0 + g.block_w, g.width);
        const std::int64_t y1 = std::min(y0 + g.block_h, g.height);
        const std::int64_t count = (x1 - x0) * (y1 - y0);
        const std::int64_t step = std::max<std::int64_t>(1, count / values_per_block);
        std::vector<float> values;
        for (const image* t : tiles)
            for (std::int64_t i = 0; i < count; i += step)
                values.push_back(
                    static_cast<float>((*t)(static_cast<unsigned>(x0 + i % (x1 - x0)),
                                            static_cast<unsigned>(y0 + i / (x1 - x0)))));
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

dark_estimate estimate_dark(const std::vector<const image*>& tiles, const tile_grid& g, int threads)
{
    const std::vector<block_level> levels = background_levels(tiles, g, threads);
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
