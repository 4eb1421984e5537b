// The sensor's flat and dark fields estimated from sampled tiles: the dark field from the
// specimen's dark background, the flat field's shape from the overlaps, where one point of the
// specimen is seen at two places on the sensor, and its tilt from the tiles' brightness.
#include "mosaic/flat_field_estimate.hpp"

#include "base/error.hpp"
#include "base/parallel.hpp"
#include "mosaic/flat_field_dark.hpp"
#include "mosaic/flat_field_fit.hpp"
#include "mosaic/overlap_strips.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

namespace orvane {

namespace {

using flat_detail::column_strip;
using flat_detail::make_grid;
using flat_detail::median_of;
using flat_detail::model;
using flat_detail::observation;
using flat_detail::tile_grid;

// A small stack is read whole; a larger one at about one slice in fifty,
// never fewer than this nor more than the most.
constexpr std::int64_t fewest_slices = 8;
constexpr std::int64_t most_slices = 16;
constexpr std::int64_t slices_per_sample = 50;

// Overlap pixels are pooled in bins of this many columns and rows; a bin
// with fewer pixels that hold signal makes no equation.
constexpr std::int64_t bin_columns = 8, bin_rows = 32;
constexpr std::size_t min_bin_pixels = 8;
// A pixel holds signal from this many background spreads above the dark
// field, and never less than this many units.
constexpr double signal_spreads = 10;
constexpr double min_signal = 20;
// The weight of a brightness equation against a full overlap bin's: on
// tiles of 192 x 256 and 576 x 2048 alike, less lets the overlaps' noise
// into the tilt along the columns, more the specimen's.
constexpr double brightness_weight = 1.0;

enum equation_kind : std::int32_t { overlap_kind = 0, brightness_kind = 1 };

// How many of a seam's left tile's first columns its overlap spans.
std::int64_t overlap_strip(const mosaic_layout& layout, std::int64_t width)
{
    return std::min<std::int64_t>(2 * layout.xoverlap(), width);
}

// The first column of a seam's right tile that its overlap, moved as far as
// the registration reaches, can show.
std::int64_t right_strip_first(const mosaic_layout& layout)
{
    return layout.column_pitch() - flat_detail::register_range;
}

struct estimate_input {
    const mosaic_layout& layout;
    tile_grid g;
    std::vector<float> dark;  // per pixel
    double threshold = min_signal;
};

// The overlap equations of one seam in one sampled slice: per bin, over the
// pixel pairs that both hold signal, log of the sum of a - D over the sum of
// b - D equals log S(a) - log S(b) (at the places the sums weigh most) plus
// the seam's gain ratio (the group). Sums weigh bright pixels most, whose
// ratio noise and dark field sway least.
void overlap_equations(const estimate_input& in, const column_strip& a, const column_strip& b,
                       std::int32_t group, std::vector<observation>& out)
{
    const tile_grid& g = in.g;
    const std::int64_t pitch = in.layout.column_pitch();
    const std::int64_t strip = overlap_strip(in.layout, g.width);
    if (strip <= 0)
        return;
    const auto [dx, dy] =
        flat_detail::register_overlap(a, b, g.width, g.height, strip, pitch, in.layout.yoffset());
    const std::int64_t bins_x = (strip + bin_columns - 1) / bin_columns;
    for (std::int64_t t0 = 0; t0 < g.height; t0 += bin_rows)
        for (std::int64_t bx = 0; bx < bins_x; ++bx) {
            std::size_t count = 0;
            double sxa = 0, sya = 0, sxb = 0, syb = 0, suma = 0, sumb = 0;
            for (std::int64_t t = t0; t < std::min(t0 + bin_rows, g.height); ++t) {
                const std::int64_t tb = t - in.layout.yoffset() + dy;
                if (tb < 0 || tb >= g.height)
                    continue;
                for (std::int64_t x = bx * bin_columns; x < std::min((bx + 1) * bin_columns, strip);
                     ++x) {
                    const std::int64_t xb = x + pitch + dx;
                    if (xb < 0 || xb >= g.width)
                        continue;
                    const std::uint16_t ia = a.at(x, t);
                    const std::uint16_t ib = b.at(xb, tb);
                    const double ja = ia - in.dark[std::size_t(t * g.width + x)];
                    const double jb = ib - in.dark[std::size_t(tb * g.width + xb)];
                    if (ja < in.threshold || jb < in.threshold || ia == 65535 || ib == 65535)
                        continue;
                    ++count;
                    suma += ja, sumb += jb;
                    sxa += ja * double(x), sya += ja * double(t);
                    sxb += jb * double(xb), syb += jb * double(tb);
                }
            }
            if (count < min_bin_pixels)
                continue;
            observation e;
            e.pair = true;
            e.ua = g.u(sxa / suma), e.va = g.v(sya / suma);
            e.ub = g.u(sxb / sumb), e.vb = g.v(syb / sumb);
            e.value = std::log(suma / sumb);
            e.weight = double(count);
            e.group = group;
            e.kind = overlap_kind;
            out.push_back(e);
        }
}

// Adds one tile's block sums to its column's, as whole values.
void add_brightness(const tile_grid& g, const image& tile, std::vector<std::uint64_t>& sums)
{
    for (std::int64_t b = 0; b < g.nx * g.ny; ++b) {
        const auto [x0, y0, x1, y1] = g.block(b);
        std::uint64_t sum = 0;
        for (std::int64_t y = y0; y < y1; ++y)
            for (std::int64_t x = x0; x < x1; ++x)
                sum += tile(unsigned(x), unsigned(y));
        sums[std::size_t(b)] += sum;
    }
}

// The brightness equations of one tile column: per block, the log of the
// mean of I - D over its sampled tiles is log S there plus the column's
// level (the group) plus what the specimen shows, which the robust fit
// treats as scatter.
void brightness_equations(const estimate_input& in, const std::vector<double>& sums,
                          std::int64_t tiles, std::int32_t group, std::vector<observation>& out)
{
    const tile_grid& g = in.g;
    for (std::int64_t b = 0; b < g.nx * g.ny; ++b) {
        const auto [x0, y0, x1, y1] = g.block(b);
        const double mean = sums[std::size_t(b)] / double((x1 - x0) * (y1 - y0) * tiles);
        if (!(mean > in.threshold))
            continue;
        observation e;
        e.ua = g.u(0.5 * double(x0 + x1 - 1));
        e.va = g.v(0.5 * double(y0 + y1 - 1));
        e.value = std::log(mean);
        e.group = group;
        e.kind = brightness_kind;
        out.push_back(e);
    }
}

}  // namespace

std::vector<std::int64_t> flat_field_slices(std::int64_t slice_count)
{
    if (slice_count <= 0)
        return {};
    const std::int64_t count = std::min(
        slice_count, std::clamp(slice_count / slices_per_sample, fewest_slices, most_slices));
    std::vector<std::int64_t> slices;
    // The middle of each of `count` equal parts of the stack.
    for (std::int64_t i = 0; i < count; ++i)
        slices.push_back((2 * i + 1) * slice_count / (2 * count));
    return slices;
}

std::int64_t flat_field_kept_columns(const mosaic_layout& layout)
{
    const std::int64_t width = layout.reference().width;
    const std::int64_t strip = overlap_strip(layout, width);
    if (strip <= 0)
        return 0;
    return strip + width - std::clamp<std::int64_t>(right_strip_first(layout), 0, width);
}

flat_field estimate_flat_field(const std::vector<flat_field_sample>& samples,
                               const mosaic_layout& layout, int threads)
{
    return estimate_flat_field(
        samples.size(),
        [&](std::size_t i, std::int32_t j, image_buffer&) -> const image* {
            const std::vector<image>& columns = samples[i].columns;
            return std::size_t(j) < columns.size() &&
                           columns.size() == std::size_t(layout.columns())
                       ? &columns[std::size_t(j)]
                       : nullptr;
        },
        layout, threads);
}

flat_field estimate_flat_field(std::size_t sample_count, const flat_field_loader& load,
                               const mosaic_layout& layout, int threads)
{
    const tile_size size = layout.reference();
    const std::int32_t columns = layout.columns();
    const auto no_sample = [] {
        return error(failure_kind::no_result, "",
                     "no sampled slice has every tile of the reference size to estimate a flat "
                     "field from");
    };
    if (columns <= 0 || size.width == 0 || size.height == 0)
        throw no_sample();
    // One slice's tiles at a time: the estimate reads each sampled tile once
    // and keeps of it what the equations need once the dark field is known,
    // its overlap strips and its block sums.
    std::vector<std::unique_ptr<image_buffer>> buffers;
    for (std::int32_t j = 0; j < columns; ++j)
        buffers.push_back(std::make_unique<image_buffer>());
    std::vector<const image*> tiles(static_cast<std::size_t>(columns));
    // Whether sample i has every tile, each of the reference size.
    auto load_sample = [&](std::size_t i) {
        std::vector<char> whole(tiles.size(), 0);
        parallel_for(columns, threads, loop_schedule::one_by_one, [&](std::int64_t j) {
            const image* t = load(i, std::int32_t(j), *buffers[std::size_t(j)]);
            tiles[std::size_t(j)] = t;
            whole[std::size_t(j)] = t && std::uint32_t(t->width()) == size.width &&
                                    std::uint32_t(t->height()) == size.height && t->depth() >= 1;
        });
        return std::all_of(whole.begin(), whole.end(), [](char w) { return w != 0; });
    };

    estimate_input in{layout, make_grid(size.width, size.height), {}, min_signal};
    const tile_grid& g = in.g;
    const std::int64_t strip = overlap_strip(layout, g.width);
    const std::int64_t blocks = g.nx * g.ny;

    // Per usable slice and column, the tile's overlap strips: its first
    // columns, where it is a seam's left tile, and its last ones from the
    // registration's reach on, where it is the right one.
    struct kept_slice {
        std::vector<column_strip> left, right;
    };
    std::vector<kept_slice> kept;
    std::vector<std::vector<std::uint64_t>> raw_sums(
        std::size_t(columns), std::vector<std::uint64_t>(std::size_t(blocks), 0));
    // The dark field, and how far above it a pixel holds signal. Slices with
    // a tile missing or of another size are left out.
    flat_detail::dark_samples dark_values{g, {}, {}};
    for (std::size_t i = 0; i < sample_count; ++i) {
        if (!load_sample(i))
            continue;
        dark_values.add(tiles, threads);
        kept_slice& k = kept.emplace_back();
        k.left.resize(std::size_t(columns));
        k.right.resize(std::size_t(columns));
        parallel_for(columns, threads, loop_schedule::one_by_one, [&](std::int64_t j) {
            const image& tile = *tiles[std::size_t(j)];
            if (strip > 0 && j + 1 < columns)
                k.left[std::size_t(j)] = flat_detail::keep_columns(tile, 0, strip);
            if (strip > 0 && j > 0)
                k.right[std::size_t(j)] =
                    flat_detail::keep_columns(tile, right_strip_first(layout), g.width);
            add_brightness(g, tile, raw_sums[std::size_t(j)]);
        });
    }
    if (kept.empty())
        throw no_sample();
    flat_detail::dark_estimate dark = flat_detail::estimate_dark(std::move(dark_values), threads);
    in.dark = std::move(dark.dark);
    in.threshold = std::max(min_signal, signal_spreads * dark.spread);

    // The equations, one list per seam and slice and per column, joined in
    // that order whatever the threads.
    const std::int64_t seams = std::max<std::int64_t>(0, columns - 1);
    const auto seam_lists = static_cast<std::int64_t>(kept.size()) * seams;
    std::vector<std::vector<observation>> lists(std::size_t(seam_lists + columns));
    parallel_for(seam_lists, threads, loop_schedule::one_by_one, [&](std::int64_t n) {
        const kept_slice& k = kept[std::size_t(n / seams)];
        const std::size_t seam = std::size_t(n % seams);
        overlap_equations(in, k.left[seam], k.right[seam + 1], std::int32_t(n),
                          lists[std::size_t(n)]);
    });
    // The brightness: each column's block sums of I - D over its tiles.
    std::vector<double> dark_sums(std::size_t(blocks), 0.0);
    for (std::int64_t b = 0; b < blocks; ++b) {
        const auto [x0, y0, x1, y1] = g.block(b);
        for (std::int64_t y = y0; y < y1; ++y)
            for (std::int64_t x = x0; x < x1; ++x)
                dark_sums[std::size_t(b)] += in.dark[std::size_t(y * g.width + x)];
    }
    std::vector<std::vector<double>> sums(std::size_t(columns),
                                          std::vector<double>(std::size_t(blocks), 0.0));
    for (std::int32_t j = 0; j < columns; ++j)
        for (std::int64_t b = 0; b < blocks; ++b)
            sums[std::size_t(j)][std::size_t(b)] =
                double(raw_sums[std::size_t(j)][std::size_t(b)]) -
                double(kept.size()) * dark_sums[std::size_t(b)];
    for (std::int32_t j = 0; j < columns; ++j)
        brightness_equations(in, sums[std::size_t(j)], std::int64_t(kept.size()),
                             std::int32_t(seam_lists + j), lists[std::size_t(seam_lists + j)]);
    std::vector<observation> eqs;
    for (const auto& l : lists)
        eqs.insert(eqs.end(), l.begin(), l.end());
    // Overlap bins weigh by their pixels, relative to a full bin.
    for (observation& e : eqs)
        if (e.kind == overlap_kind)
            e.weight /= double(bin_columns * bin_rows);
        else
            e.weight = brightness_weight;
    const std::vector<double> shading = flat_detail::fit_flat(eqs, std::int32_t(lists.size()), 2);

    flat_field out;
    out.width = size.width;
    out.height = size.height;
    out.flat.resize(std::size_t(g.width * g.height));
    out.dark = std::move(in.dark);
    std::vector<double> row_sums(std::size_t(g.height), 0);
    parallel_for(g.height, threads, loop_schedule::blocks, [&](std::int64_t y) {
        double sum = 0;
        for (std::int64_t x = 0; x < g.width; ++x) {
            const double s = flat_detail::flat_at(shading, g.u(double(x)), g.v(double(y)));
            out.flat[std::size_t(y * g.width + x)] = static_cast<float>(s);
            sum += s;
        }
        row_sums[std::size_t(y)] = sum;
    });
    double total = 0;
    for (double s : row_sums)
        total += s;
    const auto scale = static_cast<float>(double(g.width * g.height) / total);
    for (float& s : out.flat)
        s *= scale;
    return out;
}

}  // namespace orvane
