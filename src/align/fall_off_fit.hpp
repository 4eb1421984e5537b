// The sensor's brightness fall-off as a smooth surface over the tile, fitted to sampled levels.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace orvane::align {

// The fall-off is a polynomial of this degree in u and v, each running from
// -1 to 1 across the tile; coefficient [i][j] is that of u^i v^j.
constexpr int fall_off_degree = 4;
using fall_off_surface = std::array<std::array<double, fall_off_degree + 1>, fall_off_degree + 1>;

// u (or v) of pixel position `at` in a tile `size` pixels across: -1 at the
// first pixel, 1 at the last; 0 in a tile one pixel across.
inline double fall_off_coordinate(double at, std::uint32_t size)
{
    return size > 1 ? 2.0 * at / (size - 1) - 1.0 : 0.0;
}

// One sample of the fall-off: a block's centre in u, v and its level.
struct fall_off_sample {
    double u, v, value;
};

// The least-squares polynomial through the samples, refitted without those
// far from it (a block the specimen lit in most tiles, a dead line's block)
// until it keeps the same ones; false when too few remain to fit.
bool fit_fall_off(const std::vector<fall_off_sample>& samples, fall_off_surface& out);

}  // namespace orvane::align
