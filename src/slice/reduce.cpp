// Area-averaging reduction of a canvas, fused into one pass over the output rows.
#include "slice/reduce.hpp"

#include <omp.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace orvane {

namespace {

// How the source samples of one axis feed the reduced ones: output t sums
// value x weight over sources source[start[t]] ... source[start[t + 1] - 1],
// in that order, then divides by the source length. The plan walks the same
// unsigned 32-bit unit count as the library's moving average, so it gives the
// same weights, and the same result even where that count wraps (an axis
// whose lengths multiply past 2^32): outputs past the wrap get no sources,
// and the one it cuts short is never divided.
struct axis_plan {
    std::vector<std::uint32_t> start;
    std::vector<std::uint32_t> source;
    std::vector<float> weight;
    std::vector<char> divided;
    float length = 0;
};

axis_plan plan_axis(std::uint32_t source_length, std::uint32_t output_length)
{
    axis_plan plan;
    plan.start.assign(output_length + 1, 0);
    plan.divided.assign(output_length, 0);
    plan.length = static_cast<float>(source_length);
    std::uint32_t t = 0;
    for (unsigned int a = source_length * output_length, b = source_length, c = output_length,
                      s = 0;
         a;) {
        const unsigned int d = std::min(b, c);
        a -= d;
        b -= d;
        c -= d;
        plan.source.push_back(s);
        plan.weight.push_back(static_cast<float>(d));
        if (!b) {
            plan.divided[t] = 1;
            plan.start[++t] = static_cast<std::uint32_t>(plan.source.size());
            b = source_length;
        }
        if (!c) {
            ++s;
            c = output_length;
        }
    }
    // An output the walk cut short keeps the sources it got; later ones get none.
    for (std::uint32_t u = t + 1; u <= output_length; ++u)
        plan.start[u] = static_cast<std::uint32_t>(plan.source.size());
    return plan;
}

// The library stores each pass as 16-bit values by plain conversion.
std::uint16_t to_pixel(float value) { return static_cast<std::uint16_t>(value); }

// One source row averaged along x into out (the first pass).
void reduce_row(const std::uint16_t* row, const axis_plan& x, std::uint32_t out_width,
                std::uint16_t* out)
{
    for (std::uint32_t t = 0; t < out_width; ++t) {
        float sum = 0;
        for (std::uint32_t k = x.start[t]; k < x.start[t + 1]; ++k) {
            const float term = static_cast<float>(row[x.source[k]]) * x.weight[k];
            sum = sum + term;
        }
        out[t] = to_pixel(x.divided[t] ? sum / x.length : sum);
    }
}

} // namespace

image reduce_canvas(const image& canvas, std::int32_t factor, int threads)
{
    if (factor < 1)
        throw std::invalid_argument("reduce_canvas: the factor must be at least 1");
    if (canvas.depth() > 1 || canvas.spectrum() > 1)
        throw std::invalid_argument("reduce_canvas: the canvas must have one channel and one slice");
    if (factor == 1)
        return canvas;
    const auto d = static_cast<std::uint32_t>(factor);
    const std::uint32_t width = canvas.width(), height = canvas.height();
    const std::uint32_t out_width = width / d, out_height = height / d;
    if (!out_width || !out_height)
        return image();

    const axis_plan x = plan_axis(width, out_width);
    const axis_plan y = plan_axis(height, out_height);
    image reduced(out_width, out_height, 1, 1);
    const int team = std::max(1, threads);
    // Per thread: the last x-reduced source row (a row straddling two output
    // rows is reduced once) and the output row's y sums.
    std::vector<std::uint16_t> x_rows(static_cast<std::size_t>(team) * out_width);
    std::vector<float> sums(static_cast<std::size_t>(team) * out_width);
    const std::uint16_t* const source = canvas.data();
    std::uint16_t* const target = reduced.data();

#pragma omp parallel num_threads(team) if (team > 1)
    {
        const std::size_t slot = static_cast<std::size_t>(omp_get_thread_num()) * out_width;
        std::uint16_t* const x_row = x_rows.data() + slot;
        float* const sum = sums.data() + slot;
        std::int64_t cached_row = -1;
#pragma omp for schedule(static)
        for (std::int64_t t = 0; t < std::int64_t{out_height}; ++t) {
            std::fill(sum, sum + out_width, 0.0f);
            for (std::uint32_t k = y.start[t]; k < y.start[t + 1]; ++k) {
                const std::uint32_t s = y.source[k];
                if (cached_row != s) {
                    reduce_row(source + std::size_t{s} * width, x, out_width, x_row);
                    cached_row = s;
                }
                const float w = y.weight[k];
                for (std::uint32_t u = 0; u < out_width; ++u) {
                    const float term = static_cast<float>(x_row[u]) * w;
                    sum[u] = sum[u] + term;
                }
            }
            std::uint16_t* const out = target + static_cast<std::size_t>(t) * out_width;
            if (y.divided[t])
                for (std::uint32_t u = 0; u < out_width; ++u)
                    out[u] = to_pixel(sum[u] / y.length);
            else
                for (std::uint32_t u = 0; u < out_width; ++u)
                    out[u] = to_pixel(sum[u]);
        }
    }
    return reduced;
}

} // namespace orvane
