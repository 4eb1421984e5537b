// Phase correlation of two equally sized planes, through KissFFT, and the calming of outliers
// that comes before it: how both programs find where two tiles' overlaps meet.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace orvane {

// A row-major grid of values: a tile band at full resolution (16-bit) or
// reduced (float).
template <class T> struct grid {
    int width = 0;
    int height = 0;
    std::vector<T> values;

    grid() = default;
    grid(int w, int h) : width(w), height(h), values(static_cast<std::size_t>(w) * h) {}
    T* row(int y) { return values.data() + static_cast<std::size_t>(y) * width; }
    const T* row(int y) const { return values.data() + static_cast<std::size_t>(y) * width; }
    bool empty() const { return width <= 0 || height <= 0; }
};

using plane = grid<float>;

// A translation the correlation surface favours: b(y, x) ~ a(y + dy, x + dx),
// both planes read circularly, so dy and dx are in [0, height) and [0, width).
struct peak {
    int dy = 0;
    int dx = 0;
    float value = 0.0f;
};

// The strongest local maxima of the phase correlation of a and b (same
// size, even width), strongest first, at most count of them. Each plane's
// mean is taken out first, so brightness offsets and gains do not matter.
std::vector<peak> correlation_peaks(const plane& a, const plane& b, int count);

// The largest n' <= n whose only prime factors are 2, 3 and 5 (even when
// `even`), where KissFFT is fast; 0 when there is none.
int fast_size_below(int n, bool even);

// Columns [x0, x0 + width) of rows [0, height) of a plane.
plane crop(const plane& source, int x0, int width, int height);

// The grid with each value that stands out from its eight neighbours
// brought back within them: one above the second highest of them down to
// it, one below the second lowest up to it (the grid's edges mirrored).
// Isolated outliers, such as hot or dead pixels and cosmic-ray hits, and
// pairs of them, would otherwise dominate both the whitened phase
// correlation and the cross-correlation; structure wider than a pixel or two
// loses only the tips of its peaks.
plane calmed(plane values);
grid<std::uint16_t> calmed(grid<std::uint16_t> values);

// Normalised cross-correlation of columns [x0, x1) and rows [y0, y1) of b
// with the same places of a moved by (dx, dy): b(y, x) against
// a(y + dy, x + dx), which the caller keeps inside a. 0 where either side is
// flat within rounding: no structure, nothing to compare.
template <class T>
double window_ncc(const grid<T>& a, const grid<T>& b, int dx, int dy, int x0, int x1, int y0,
                  int y1)
{
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (int y = y0; y < y1; ++y) {
        const T* pa = a.row(y + dy) + dx;
        const T* pb = b.row(y);
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
    if (va <= 1e-9 * saa || vb <= 1e-9 * sbb || va <= 0 || vb <= 0)
        return 0.0;
    return (sab - sa * sb / n) / std::sqrt(va * vb);
}

// A second place scoring within this much of the best, and more than
// rival_distance pixels from it in overlap or in shift, makes the best
// ambiguous. Within rival_distance it is the same peak, widened by blur.
constexpr double rival_margin = 0.02;
constexpr int rival_distance = 2;

}  // namespace orvane
