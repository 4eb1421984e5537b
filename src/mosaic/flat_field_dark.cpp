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
    double darkest = 0;  // a low quantile of the block's values over every tile
    double noise = 0;    // the pixel noise at its darkest values
};

// The camera's offset lies below what any pixel shows but for its noise, so
// a block's dark level is never taken above the darkest of its values (this
// share of them, which a few dead pixels do not decide) by more than that
// share of a normal noise reaches below its mean (and a unit, as values are
// whole). Where the specimen fills every tile the densest value is one of
// its own levels, far above the offset: the cap brings the level down to the
// darkest the specimen shows. Over a background the cap lies at the level.
constexpr double darkest_share = 0.001;
constexpr double darkest_spreads = 3.09;
constexpr double noise_share = 0.1;
// The share of a block's values, its darkest, whose neighbours' steps give
// the noise.
constexpr double noise_values_share = 0.01;

// Per block, over every tile: the background's level and its spread (from
// the values below it, which the specimen does not reach).
std::vector<block_level> background_levels(dark_samples& samples, const tile_grid& g, int threads)
{
    std::vector<block_level> out(static_cast<std::size_t>(g.nx * g.ny));
    parallel_for(g.nx * g.ny, threads, loop_schedule::blocks, [&](std::int64_t b) {
        std::vector<float>& values = samples.values[static_cast<std::size_t>(b)];
        const std::vector<float>& steps = samples.steps[static_cast<std::size_t>(b)];
        std::vector<float> below = values;
        block_level& r = out[static_cast<std::size_t>(b)];
        // The noise where the block is darkest, from the step between the
        // row neighbours of each of its darkest values: noise times sqrt(2).
        // Where a smooth specimen is darkest it is flat, so its own slope
        // adds little there, and the neighbours' noise played no part in
        // choosing the value between them.
        if (!values.empty()) {
            std::vector<float> sorted = values;
            const auto low =
                sorted.begin() + std::ptrdiff_t(noise_values_share * double(sorted.size() - 1));
            std::nth_element(sorted.begin(), low, sorted.end());
            std::vector<double> dark_steps;
            for (std::size_t i = 0; i < values.size() && i < steps.size(); ++i)
                if (values[i] <= *low)
                    dark_steps.push_back(std::abs(double(steps[i])));
            r.noise = 1.4826 / std::sqrt(2.0) * median_of(std::move(dark_steps));
        }
        r.level = densest(values);
        // densest() leaves the values sorted.
        if (!values.empty())
            r.darkest = values[std::size_t(darkest_share * double(values.size() - 1))];
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
    steps.resize(values.size());
    parallel_for(g.nx * g.ny, threads, loop_schedule::blocks, [&](std::int64_t b) {
        const auto [x0, y0, x1, y1] = g.block(b);
        const std::int64_t count = (x1 - x0) * (y1 - y0);
        const std::int64_t step = std::max<std::int64_t>(1, count / values_per_block);
        std::vector<float>& out = values[static_cast<std::size_t>(b)];
        std::vector<float>& out_steps = steps[static_cast<std::size_t>(b)];
        for (const image* t : tiles)
            for (std::int64_t i = 0; i < count; i += step) {
                const std::int64_t x = x0 + i % (x1 - x0), y = y0 + i / (x1 - x0);
                const auto at = [&](std::int64_t xi) {
                    return double((*t)(static_cast<unsigned>(std::clamp<std::int64_t>(
                                           xi, 0, std::max<std::int64_t>(0, g.width - 1))),
                                       static_cast<unsigned>(y)));
                };
                out.push_back(static_cast<float>(at(x)));
                // At the tile's sides the step between the next two pixels
                // inside stands for it.
                const double left = at(x > 0 ? x - 1 : x + 2);
                const double right = at(x + 1 < g.width ? x + 1 : x - 2);
                out_steps.push_back(static_cast<float>(right - left));
            }
    });
}

dark_estimate estimate_dark(dark_samples samples, int threads)
{
    const tile_grid& g = samples.g;
    samples.values.resize(static_cast<std::size_t>(g.nx * g.ny));
    samples.steps.resize(samples.values.size());
    const std::vector<block_level> levels = background_levels(samples, g, threads);
    std::vector<double> noises;
    for (const block_level& l : levels)
        noises.push_back(l.noise);
    // The specimen's own slopes only add to the noise, so the blocks that
    // show least are nearest to it: a tenth of the blocks show less.
    std::sort(noises.begin(), noises.end());
    const double noise =
        noises.empty() ? 0.0 : noises[std::size_t(noise_share * double(noises.size() - 1))];
    std::vector<equation> eqs;
    std::vector<double> spreads;
    for (std::int64_t b = 0; b < g.nx * g.ny; ++b) {
        equation e;
        e.x = evaluate(model::dark, g.u(double(b % g.nx * g.block_w) + 0.5 * double(g.block_w - 1)),
                       g.v(double(b / g.nx * g.block_h) + 0.5 * double(g.block_h - 1)));
        const block_level& l = levels[std::size_t(b)];
        e.value = std::min(l.level, l.darkest + darkest_spreads * noise + 1);
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
