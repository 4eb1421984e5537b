// Area-averaging reduction of a canvas, fused into one pass over the output rows.
#include "mosaic/reduce.hpp"

#include "base/parallel.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace orvane {

namespace {

// Outputs are handled in blocks of this many: independent sums that the
// compiler can keep in one vector register.
constexpr std::uint32_t block = 8;  // the vector path below assumes 8

std::uint32_t padded(std::uint32_t n) { return (n + block - 1) / block * block; }

// How the source samples of one axis feed the reduced ones: output t sums
// value x weight over its sources in source order, then divides by the source
// length. The weights come from one walk over source_length x output_length
// units in unsigned 32-bit arithmetic (a source sample is output_length units
// long, an output source_length): each step takes the units up to the next
// edge of either as the weight. Where that count wraps (an axis whose lengths
// multiply past 2^32) outputs past the wrap get no sources, and the one it
// cuts short is never divided.
//
// Term k of output t is at k * stride + t. Outputs with fewer terms, and the
// padding up to a whole block, get weight 0 on source 0: adding +0 to a sum of
// non-negative terms leaves it bit for bit unchanged.
struct axis_plan {
    std::uint32_t outputs = 0;
    std::uint32_t stride = 0;  // outputs rounded up to a whole block
    std::uint32_t terms = 0;   // the most terms of any output
    std::vector<std::uint32_t> source;
    std::vector<float> weight;
    std::vector<char> divided;
    float length = 0;
    // Set when the source length is an exact multiple of the output length
    // (and the unit count does not wrap): output t then sums sources
    // t * factor ... t * factor + factor - 1, all with the one weight, and is
    // divided. Such rows need no source and weight tables.
    bool regular = false;
    std::uint32_t factor = 0;
    float regular_weight = 0;

    std::size_t at(std::uint32_t k, std::uint32_t t) const { return std::size_t{k} * stride + t; }
};

axis_plan plan_axis(std::uint32_t source_length, std::uint32_t output_length)
{
    struct term {
        std::uint32_t output, source;
        float weight;
    };
    std::vector<term> walk;
    std::vector<std::uint32_t> count(output_length, 0);
    axis_plan plan;
    plan.outputs = output_length;
    plan.stride = padded(output_length);
    plan.divided.assign(plan.stride, 0);
    plan.length = static_cast<float>(source_length);
    std::uint32_t t = 0;
    for (unsigned int a = source_length * output_length, b = source_length, c = output_length,
                      s = 0;
         a;) {
        const unsigned int d = std::min(b, c);
        a -= d;
        b -= d;
        c -= d;
        walk.push_back({t, s, static_cast<float>(d)});
        ++count[t];
        if (!b) {
            plan.divided[t++] = 1;
            b = source_length;
        }
        if (!c) {
            ++s;
            c = output_length;
        }
    }
    for (std::uint32_t n : count)
        plan.terms = std::max(plan.terms, n);
    plan.source.assign(std::size_t{plan.terms} * plan.stride, 0);
    plan.weight.assign(std::size_t{plan.terms} * plan.stride, 0.0f);
    std::fill(count.begin(), count.end(), 0);
    for (const term& e : walk) {
        const std::size_t i = plan.at(count[e.output]++, e.output);
        plan.source[i] = e.source;
        plan.weight[i] = e.weight;
    }
    // Regular is read off the walk itself, so it can only describe what the
    // tables say.
    if (output_length > 0 && source_length % output_length == 0 && !walk.empty()) {
        const std::uint32_t factor = source_length / output_length;
        bool regular = walk.size() == std::size_t{factor} * output_length;
        for (std::size_t i = 0; regular && i < walk.size(); ++i)
            regular = walk[i].output == i / factor && walk[i].source == i &&
                      walk[i].weight == walk[0].weight;
        for (std::uint32_t u = 0; regular && u < output_length; ++u)
            regular = plan.divided[u] != 0;
        plan.regular = regular;
        plan.factor = factor;
        plan.regular_weight = walk[0].weight;
    }
    return plan;
}

// Each pass is stored as 16 bits by plain conversion, which truncates: an
// average of 16-bit values is never negative nor above 65535.
std::uint16_t to_pixel(float value) { return static_cast<std::uint16_t>(value); }

// One source row averaged along x into out (the first pass), out.stride values.
void reduce_row(const std::uint16_t* row, const axis_plan& x, std::uint16_t* out)
{
    std::uint32_t t0 = 0;
#ifdef __SSE2__
    if (x.regular) {
        // Whole blocks of a regular plan: the same multiplies and adds in the
        // same order, with the sources found by arithmetic instead of tables.
        const std::uint32_t d = x.factor;
        const __m128 weight = _mm_set1_ps(x.regular_weight);
        const __m128 length = _mm_set1_ps(x.length);
        for (; t0 + block <= x.outputs; t0 += block) {
            __m128 low = _mm_setzero_ps(), high = _mm_setzero_ps();
            const std::uint16_t* p = row + std::size_t{t0} * d;
            for (std::uint32_t k = 0; k < d; ++k, ++p) {
                const __m128 v_low =
                    _mm_cvtepi32_ps(_mm_setr_epi32(p[0], p[d], p[2 * d], p[3 * d]));
                const __m128 v_high =
                    _mm_cvtepi32_ps(_mm_setr_epi32(p[4 * d], p[5 * d], p[6 * d], p[7 * d]));
                low = _mm_add_ps(low, _mm_mul_ps(v_low, weight));
                high = _mm_add_ps(high, _mm_mul_ps(v_high, weight));
            }
            float sum[block];
            _mm_storeu_ps(sum, _mm_div_ps(low, length));
            _mm_storeu_ps(sum + 4, _mm_div_ps(high, length));
            for (std::uint32_t i = 0; i < block; ++i)
                out[t0 + i] = to_pixel(sum[i]);
        }
    }
#endif
    for (; t0 < x.stride; t0 += block) {
        float sum[block] = {};
#ifdef __SSE2__
        // Four outputs per register; each lane rounds its multiply and its add
        // exactly as the scalar instructions would.
        __m128 low = _mm_setzero_ps(), high = _mm_setzero_ps();
        for (std::uint32_t k = 0; k < x.terms; ++k) {
            const std::uint32_t* const s = x.source.data() + x.at(k, t0);
            const float* const w = x.weight.data() + x.at(k, t0);
            const __m128 v_low =
                _mm_cvtepi32_ps(_mm_setr_epi32(row[s[0]], row[s[1]], row[s[2]], row[s[3]]));
            const __m128 v_high =
                _mm_cvtepi32_ps(_mm_setr_epi32(row[s[4]], row[s[5]], row[s[6]], row[s[7]]));
            low = _mm_add_ps(low, _mm_mul_ps(v_low, _mm_loadu_ps(w)));
            high = _mm_add_ps(high, _mm_mul_ps(v_high, _mm_loadu_ps(w + 4)));
        }
        _mm_storeu_ps(sum, low);
        _mm_storeu_ps(sum + 4, high);
#else
        for (std::uint32_t k = 0; k < x.terms; ++k) {
            const std::uint32_t* const source = x.source.data() + x.at(k, t0);
            const float* const weight = x.weight.data() + x.at(k, t0);
            for (std::uint32_t i = 0; i < block; ++i) {
                const float term = static_cast<float>(row[source[i]]) * weight[i];
                sum[i] = sum[i] + term;
            }
        }
#endif
        for (std::uint32_t i = 0; i < block; ++i)
            out[t0 + i] = to_pixel(x.divided[t0 + i] ? sum[i] / x.length : sum[i]);
    }
}

}  // namespace

void reduce_canvas(const image& canvas, std::int32_t factor, int threads, image_buffer& into)
{
    if (factor < 1)
        throw std::invalid_argument("reduce_canvas: the factor must be at least 1");
    if (canvas.depth() > 1 || canvas.spectrum() > 1)
        throw std::invalid_argument(
            "reduce_canvas: the canvas must have one channel and one slice");
    if (factor == 1) {
        std::uint16_t* const copy = into.resize(static_cast<std::uint32_t>(canvas.width()),
                                                static_cast<std::uint32_t>(canvas.height()));
        std::copy(canvas.begin(), canvas.end(), copy);
        return;
    }
    const auto d = static_cast<std::uint32_t>(factor);
    const std::uint32_t width = canvas.width(), height = canvas.height();
    const std::uint32_t out_width = width / d, out_height = height / d;
    if (!out_width || !out_height) {
        into.resize(0, 0);
        return;
    }

    const axis_plan x = plan_axis(width, out_width);
    const axis_plan y = plan_axis(height, out_height);
    const int team = team_size(std::max(1, threads));
    const std::uint32_t stride = x.stride;
    // Per thread: the last x-reduced source row (a row straddling two output
    // rows is reduced once) and the output row's y sums.
    std::vector<std::uint16_t> x_rows(static_cast<std::size_t>(team) * stride);
    std::vector<float> sums(static_cast<std::size_t>(team) * stride);
    const std::uint16_t* const source = canvas.data();
    std::uint16_t* const target = into.resize(out_width, out_height);

    loop_failures failures;
    run_team(team, [&](int thread) {
        const std::size_t slot = static_cast<std::size_t>(thread) * stride;
        std::uint16_t* const x_row = x_rows.data() + slot;
        float* const sum = sums.data() + slot;
        std::int64_t cached_row = -1;
        share_loop(out_height, loop_schedule::blocks, failures, [&](std::int64_t r) {
            const auto t = static_cast<std::uint32_t>(r);
            std::fill(sum, sum + stride, 0.0f);
            // Rows in source order: the order of the float additions fixes the rounding.
            for (std::uint32_t k = 0; k < y.terms; ++k) {
                const float w = y.weight[y.at(k, t)];
                if (w == 0.0f)
                    break;  // padding: no more terms for this row
                const std::uint32_t s = y.source[y.at(k, t)];
                if (cached_row != s) {
                    reduce_row(source + std::size_t{s} * width, x, x_row);
                    cached_row = s;
                }
                // Lane by lane the same multiply and add as one at a time: the
                // vector form changes no rounding.
#pragma omp simd
                for (std::uint32_t u = 0; u < stride; ++u) {
                    const float term = static_cast<float>(x_row[u]) * w;
                    sum[u] = sum[u] + term;
                }
            }
            std::uint16_t* const out = target + static_cast<std::size_t>(r) * out_width;
            for (std::uint32_t u = 0; u < out_width; ++u)
                out[u] = to_pixel(y.divided[t] ? sum[u] / y.length : sum[u]);
        });
    });
    failures.rethrow_lowest();
}

image reduce_canvas(const image& canvas, std::int32_t factor, int threads)
{
    if (factor == 1 && canvas.depth() <= 1 && canvas.spectrum() <= 1)
        return canvas;
    image_buffer reduced;
    reduce_canvas(canvas, factor, threads, reduced);
    return image(reduced.pixels(), false);
}

}  // namespace orvane
