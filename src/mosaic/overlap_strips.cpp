// The overlap strips kept from the flat-field estimate's sampled tiles, and their registration.
#include "mosaic/overlap_strips.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace orvane::flat_detail {

namespace {

// Registration reads at most this many rows and accepts a correlation from
// this one up.
constexpr std::int64_t register_rows = 128;
constexpr double min_register_score = 0.5;

}  // namespace

column_strip keep_columns(const image& tile, std::int64_t first, std::int64_t end)
{
    const std::int64_t w = tile.width(), h = tile.height();
    column_strip strip;
    strip.first = std::clamp<std::int64_t>(first, 0, w);
    strip.width = std::clamp<std::int64_t>(end, strip.first, w) - strip.first;
    strip.pixels.resize(std::size_t(strip.width * h));
    for (std::int64_t t = 0; t < h; ++t)
        std::copy_n(tile.data() + t * w + strip.first, strip.width,
                    strip.pixels.data() + t * strip.width);
    return strip;
}

std::pair<int, int> register_overlap(const column_strip& a, const column_strip& b,
                                     std::int64_t tile_width, std::int64_t tile_height,
                                     std::int64_t strip, std::int64_t pitch, std::int64_t yoffset)
{
    const std::int64_t w = tile_width, h = tile_height;
    if (strip < 2 * register_range)
        return {0, 0};
    const std::int64_t step = std::max<std::int64_t>(1, h / register_rows);
    const std::uint16_t* const pa = a.pixels.data();
    const std::uint16_t* const pb = b.pixels.data();
    // The sums are of whole values and stay below 2^53, so adding them up as
    // integers, row by row, gives exactly what adding them as doubles would.
    auto score = [&](int dx, int dy) {
        const std::int64_t x0 = std::max<std::int64_t>(0, -(pitch + dx));
        const std::int64_t x1 = std::min<std::int64_t>(strip, w - (pitch + dx));
        std::uint64_t sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, count = 0;
        for (std::int64_t t = 0; t < h && x0 < x1; t += step) {
            const std::int64_t tb = t - yoffset + dy;
            if (tb < 0 || tb >= h)
                continue;
            // Column x of a's row and column x + pitch + dx of b's, as the
            // strips hold them.
            const std::int64_t ia = t * a.width - a.first;
            const std::int64_t ib = tb * b.width + pitch + dx - b.first;
#pragma omp simd reduction(+ : sa, sb, saa, sbb, sab)
            for (std::int64_t x = x0; x < x1; ++x) {
                const std::uint64_t p = pa[ia + x], q = pb[ib + x];
                sa += p, sb += q, saa += p * p, sbb += q * q, sab += p * q;
            }
            count += std::uint64_t(x1 - x0);
        }
        const double n = double(count);
        const double va = double(saa) - double(sa) * double(sa) / std::max(n, 1.0);
        const double vb = double(sbb) - double(sb) * double(sb) / std::max(n, 1.0);
        return n < 16 || va <= 0 || vb <= 0
                   ? 0.0
                   : (double(sab) - double(sa) * double(sb) / n) / std::sqrt(va * vb);
    };
    const double nominal = score(0, 0);
    double best = nominal;
    std::pair<int, int> at{0, 0};
    for (int dy = -register_range; dy <= register_range; ++dy)
        for (int dx = -register_range; dx <= register_range; ++dx) {
            const double s = score(dx, dy);
            if (s > best + 1e-3) {
                best = s;
                at = {dx, dy};
            }
        }
    if (best < min_register_score || std::abs(at.first) == register_range ||
        std::abs(at.second) == register_range)
        return {0, 0};
    return at;
}

}  // namespace orvane::flat_detail
