// Phase correlation: a 2-D real transform of KissFFT's row and column transforms, and its peaks;
// the calming of outliers before it.
#include "mosaic/correlate.hpp"

#include <kiss_fft.h>
#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <stdexcept>

namespace orvane {

namespace {

struct free_config {
    void operator()(void* config) const { std::free(config); }
};
using row_config = std::unique_ptr<kiss_fftr_state, free_config>;
using column_config = std::unique_ptr<kiss_fft_state, free_config>;

// A 2-D transform of height x width real values (width even) into height x
// (width / 2 + 1) complex ones: real transforms of the rows, then complex
// transforms of the columns. KissFFT's own n-dimensional real transform is
// not used: Debian's build of it crashes on sizes from 64 x 64 up.
class transform_2d {
public:
    transform_2d(int height, int width)
        : height_(height), width_(width), spectrum_width_(width / 2 + 1),
          row_forward_(kiss_fftr_alloc(width, 0, nullptr, nullptr)),
          row_inverse_(kiss_fftr_alloc(width, 1, nullptr, nullptr)),
          column_forward_(kiss_fft_alloc(height, 0, nullptr, nullptr)),
          column_inverse_(kiss_fft_alloc(height, 1, nullptr, nullptr)),
          transformed_(static_cast<std::size_t>(height))
    {
        if (!row_forward_ || !row_inverse_ || !column_forward_ || !column_inverse_)
            throw std::bad_alloc();
    }

    std::size_t spectrum_size() const
    {
        return static_cast<std::size_t>(height_) * static_cast<std::size_t>(spectrum_width_);
    }

    void forward(const float* values, kiss_fft_cpx* spectrum)
    {
        for (int y = 0; y < height_; ++y)
            kiss_fftr(row_forward_.get(), values + static_cast<std::size_t>(y) * width_,
                      spectrum + static_cast<std::size_t>(y) * spectrum_width_);
        columns(column_forward_.get(), spectrum);
    }

    // Unnormalised: the result is height * width times the input.
    void inverse(kiss_fft_cpx* spectrum, float* values)
    {
        columns(column_inverse_.get(), spectrum);
        for (int y = 0; y < height_; ++y)
            kiss_fftri(row_inverse_.get(), spectrum + static_cast<std::size_t>(y) * spectrum_width_,
                       values + static_cast<std::size_t>(y) * width_);
    }

private:
    void columns(kiss_fft_cfg config, kiss_fft_cpx* spectrum)
    {
        for (int x = 0; x < spectrum_width_; ++x) {
            kiss_fft_stride(config, spectrum + x, transformed_.data(), spectrum_width_);
            for (int y = 0; y < height_; ++y)
                spectrum[static_cast<std::size_t>(y) * spectrum_width_ + x] =
                    transformed_[static_cast<std::size_t>(y)];
        }
    }

    int height_, width_, spectrum_width_;
    row_config row_forward_, row_inverse_;
    column_config column_forward_, column_inverse_;
    std::vector<kiss_fft_cpx> transformed_;
};

std::vector<float> without_mean(const plane& p)
{
    std::vector<float> values(p.values);
    const double mean =
        values.empty() ? 0.0 : std::accumulate(values.begin(), values.end(), 0.0) / values.size();
    for (float& v : values)
        v -= static_cast<float>(mean);
    return values;
}

// The spectrum of the plane's periodic component (Moisan's periodic plus
// smooth decomposition). A band is not periodic: read circularly, its
// opposite edges jump, and those jumps correlate at a shift of zero rows or
// columns, a cross on the surface that outranks a small overlap. The smooth
// component is what those jumps alone would give; taking it out leaves the
// structure inside the band untouched, unlike a window, which would also
// fade the overlap at the band's edge.
std::vector<kiss_fft_cpx> periodic_spectrum(const plane& p, transform_2d& transform)
{
    const int h = p.height, w = p.width;
    const std::vector<float> u = without_mean(p);
    auto at = [&](int y, int x) { return u[static_cast<std::size_t>(y) * w + x]; };
    std::vector<float> jumps(u.size(), 0.0f);
    auto add = [&](int y, int x, float v) { jumps[static_cast<std::size_t>(y) * w + x] += v; };
    for (int x = 0; x < w; ++x) {
        const float jump = at(h - 1, x) - at(0, x);
        add(0, x, jump);
        add(h - 1, x, -jump);
    }
    for (int y = 0; y < h; ++y) {
        const float jump = at(y, w - 1) - at(y, 0);
        add(y, 0, jump);
        add(y, w - 1, -jump);
    }
    std::vector<kiss_fft_cpx> spectrum(transform.spectrum_size());
    std::vector<kiss_fft_cpx> smooth(transform.spectrum_size());
    transform.forward(u.data(), spectrum.data());
    transform.forward(jumps.data(), smooth.data());
    const int spectrum_width = w / 2 + 1;
    const double pi = std::acos(-1.0);
    std::vector<double> row_term(static_cast<std::size_t>(h)), column_term(spectrum_width);
    for (int ky = 0; ky < h; ++ky)
        row_term[static_cast<std::size_t>(ky)] = 2 * std::cos(2 * pi * ky / h) - 2;
    for (int kx = 0; kx < spectrum_width; ++kx)
        column_term[static_cast<std::size_t>(kx)] = 2 * std::cos(2 * pi * kx / w) - 2;
    for (int ky = 0; ky < h; ++ky)
        for (int kx = 0; kx < spectrum_width; ++kx) {
            const std::size_t i = static_cast<std::size_t>(ky) * spectrum_width + kx;
            if (ky == 0 && kx == 0) {
                spectrum[i] = {0.0f, 0.0f};
                continue;
            }
            const auto scale =
                static_cast<float>(1.0 / (row_term[static_cast<std::size_t>(ky)] +
                                          column_term[static_cast<std::size_t>(kx)]));
            spectrum[i].r -= smooth[i].r * scale;
            spectrum[i].i -= smooth[i].i * scale;
        }
    return spectrum;
}

// Values compared in an order-preserving signed type where they are 16-bit
// unsigned: the vector units of every x86-64 have signed 16-bit minimum and
// maximum, but not unsigned ones before SSE4.1.
inline std::int16_t order_key(std::uint16_t v)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(v ^ 0x8000u));
}
inline std::uint16_t from_key(std::int16_t k)
{
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(k) ^ 0x8000u);
}
inline float order_key(float v) { return v; }
inline float from_key(float k) { return k; }
// By value, not by reference as std::max, so the loops below hold no branch.
template <class K> K larger(K a, K b) { return a > b ? a : b; }
template <class K> K smaller(K a, K b) { return a < b ? a : b; }

// The outlier calming of `calmed`, in place, on a grid of any value type.
template <class T> void calm_grid(grid<T>& g)
{
    using key = decltype(order_key(T{}));
    const int w = g.width, h = g.height;
    if (w < 2 || h < 2)
        return;
    // Three rows of keys, each with one mirrored value either side, roll
    // down the grid: the rows above, at and below the one calmed (row -1 is
    // row 1, row h is row h - 2). Each row is read into them before it is
    // overwritten.
    const int pw = w + 2;
    std::vector<key> keys(static_cast<std::size_t>(3) * pw);
    key* up = keys.data();
    key* mid = up + pw;
    key* down = mid + pw;
    auto read = [&](int y, key* out) {
        const T* in = g.row(y);
        for (int x = 0; x < w; ++x)
            out[x + 1] = order_key(in[x]);
        out[0] = out[2];
        out[w + 1] = out[w - 1];
    };
    read(1, up);
    read(0, mid);
    read(1, down);
    for (int y = 0; y < h; ++y) {
        // The two highest and two lowest of the eight neighbours, kept in
        // registers: a loop that runs in vector lanes.
        T* out = g.row(y);
#pragma omp simd
        for (int x = 0; x < w; ++x) {
            const key a = up[x], b = up[x + 1];
            key hi = larger(a, b), hi2 = smaller(a, b);
            key lo = hi2, lo2 = hi;
            auto take = [&](key v) {
                hi2 = larger(hi2, smaller(hi, v));
                hi = larger(hi, v);
                lo2 = smaller(lo2, larger(lo, v));
                lo = smaller(lo, v);
            };
            take(up[x + 2]);
            take(mid[x]);
            take(mid[x + 2]);
            take(down[x]);
            take(down[x + 1]);
            take(down[x + 2]);
            out[x] = from_key(larger(lo2, smaller(mid[x + 1], hi2)));
        }
        if (y + 1 == h)
            break;
        key* free = up;
        up = mid;
        mid = down;
        down = free;
        if (y + 2 < h)
            read(y + 2, down);
        else
            std::copy_n(up, pw, down);
    }
}

bool only_factors_2_3_5(int n)
{
    for (int f : {2, 3, 5})
        while (n % f == 0)
            n /= f;
    return n == 1;
}

}  // namespace

int fast_size_below(int n, bool even)
{
    for (; n > 0; --n)
        if ((!even || n % 2 == 0) && only_factors_2_3_5(n))
            return n;
    return 0;
}

plane crop(const plane& source, int x0, int width, int height)
{
    plane out(width, height);
    for (int y = 0; y < height; ++y)
        std::copy_n(source.row(y) + x0, width, out.row(y));
    return out;
}

std::vector<peak> correlation_peaks(const plane& a, const plane& b, int count)
{
    if (a.width != b.width || a.height != b.height || a.width % 2 != 0 || a.empty())
        throw std::invalid_argument("correlation_peaks: planes of different or odd sizes");
    const int h = a.height, w = a.width;
    transform_2d transform(h, w);
    const std::vector<kiss_fft_cpx> fa = periodic_spectrum(a, transform);
    std::vector<kiss_fft_cpx> cross = periodic_spectrum(b, transform);

    // The cross-power spectrum with its magnitude divided out keeps only the
    // phase difference, whose inverse is a sharp peak at the translation.
    // Terms far below the strongest would only amplify rounding noise.
    float strongest = 0.0f;
    for (std::size_t i = 0; i < fa.size(); ++i) {
        const kiss_fft_cpx fb = cross[i];
        const float re = fa[i].r * fb.r + fa[i].i * fb.i;
        const float im = fa[i].i * fb.r - fa[i].r * fb.i;
        cross[i] = {re, im};
        strongest = std::max(strongest, std::sqrt(re * re + im * im));
    }
    const float floor = strongest * 1e-6f;
    for (kiss_fft_cpx& c : cross) {
        const float magnitude = std::sqrt(c.r * c.r + c.i * c.i);
        if (magnitude <= floor) {
            c = {0.0f, 0.0f};
        } else {
            c.r /= magnitude;
            c.i /= magnitude;
        }
    }
    std::vector<float> surface(static_cast<std::size_t>(h) * w);
    transform.inverse(cross.data(), surface.data());

    // Local maxima over the eight neighbours, the surface read circularly.
    std::vector<peak> peaks;
    const float scale = 1.0f / (static_cast<float>(h) * static_cast<float>(w));
    for (int y = 0; y < h; ++y) {
        const float* rows[3] = {&surface[static_cast<std::size_t>((y + h - 1) % h) * w],
                                &surface[static_cast<std::size_t>(y) * w],
                                &surface[static_cast<std::size_t>((y + 1) % h) * w]};
        for (int x = 0; x < w; ++x) {
            const float v = rows[1][x];
            if (!(v > 0.0f))
                continue;
            const int left = x == 0 ? w - 1 : x - 1, right = x + 1 == w ? 0 : x + 1;
            bool highest = rows[1][left] <= v && rows[1][right] <= v;
            for (int r = 0; r < 3 && highest; r += 2)
                highest = rows[r][left] <= v && rows[r][x] <= v && rows[r][right] <= v;
            if (highest)
                peaks.push_back({y, x, v * scale});
        }
    }
    const auto kept =
        std::min<std::size_t>(peaks.size(), static_cast<std::size_t>(std::max(0, count)));
    std::partial_sort(peaks.begin(), peaks.begin() + static_cast<std::ptrdiff_t>(kept), peaks.end(),
                      [](const peak& p, const peak& q) { return p.value > q.value; });
    peaks.resize(kept);
    return peaks;
}

plane calmed(plane values)
{
    calm_grid(values);
    return values;
}

grid<std::uint16_t> calmed(grid<std::uint16_t> values)
{
    calm_grid(values);
    return values;
}

}  // namespace orvane
