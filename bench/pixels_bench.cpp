// Library calls against the fused passes: mosaic assembly and the reduced copy; and the
// flat-field estimate from a sample of an acquisition.
#include "mosaic/assemble.hpp"
#include "mosaic/flat_field_estimate.hpp"
#include "mosaic/reduce.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

using orvane::image;

namespace {

constexpr int tile_size = 2048, columns = 4, xoverlap = 100, yoffset = 20;
constexpr int pitch = tile_size - 2 * xoverlap;

image noise(int width, int height)
{
    image picture(width, height);
    std::mt19937 random(3);
    std::uniform_int_distribution<int> value(0, 65535);
    cimg_for(picture, p, std::uint16_t)* p = static_cast<std::uint16_t>(value(random));
    return picture;
}

const std::vector<image>& tiles()
{
    static const std::vector<image> made = [] {
        std::vector<image> v;
        for (int j = 0; j < columns; ++j)
            v.push_back(noise(tile_size, tile_size));
        return v;
    }();
    return made;
}

void assembly_library(benchmark::State& state)
{
    image canvas(pitch * columns, tile_size, 1, 1, 0);
    for (auto _ : state) {
        for (int j = 0; j < columns; ++j) {
            image piece = tiles()[j].get_crop(xoverlap, tile_size - xoverlap - 1, 0);
            piece.shift(0, yoffset * j, 0, 0, 0);
            piece.mirror('x');
            canvas.draw_image(pitch * j, 0, 0, 0, piece, 1.0f);
        }
        benchmark::DoNotOptimize(canvas.data());
    }
}

void assembly_fused(benchmark::State& state)
{
    image canvas(pitch * columns, tile_size, 1, 1, 0);
    const int threads = static_cast<int>(state.range(0));
    const orvane::acquisition acquired(std::vector<std::string>(columns), columns,
                                       {tile_size, tile_size});
    const orvane::mosaic_layout layout(acquired, xoverlap, yoffset);
    for (auto _ : state) {
        for (int j = 0; j < columns; ++j)
            orvane::draw_tile(canvas, tiles()[j], j, layout, threads);
        benchmark::DoNotOptimize(canvas.data());
    }
}

const image& canvas()
{
    static const image made = noise(7792, 2048);
    return made;
}

void reduction_library(benchmark::State& state)
{
    for (auto _ : state) {
        image copy(canvas());  // resize works in place; the fused path reads the canvas
        copy.resize(copy.width() / 4, copy.height() / 4, -100, -100, 3, 0, 0, 0, 0, 0);
        benchmark::DoNotOptimize(copy.data());
    }
}

void reduction_library_without_copy(benchmark::State& state)
{
    for (auto _ : state) {
        image reduced = canvas().get_resize(canvas().width() / 4, canvas().height() / 4, -100, -100,
                                            3, 0, 0, 0, 0, 0);
        benchmark::DoNotOptimize(reduced.data());
    }
}

void reduction_fused(benchmark::State& state)
{
    const int threads = static_cast<int>(state.range(0));
    const auto factor = static_cast<std::int32_t>(state.range(1));
    // Into a buffer kept from one call to the next, as a slice thread does.
    orvane::image_buffer reduced;
    for (auto _ : state) {
        orvane::reduce_canvas(canvas(), factor, threads, reduced);
        benchmark::DoNotOptimize(reduced.pixels().data());
    }
}

// The sample the estimate reads of 4 columns of 576 x 2048 tiles, 8 slices:
// a camera offset of 100 with read noise, blobs, light falling towards the ends.
const std::vector<orvane::flat_field_sample>& flat_samples()
{
    static const std::vector<orvane::flat_field_sample> made = [] {
        constexpr int w = 576, h = 2048;
        std::mt19937 random(5);
        std::normal_distribution<float> read(0.0f, 1.6f);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        std::vector<orvane::flat_field_sample> v;
        for (int k = 0; k < 8; ++k) {
            orvane::flat_field_sample s;
            s.slice = k;
            for (int j = 0; j < columns; ++j) {
                std::vector<float> signal(std::size_t{w} * h, 0.0f);
                for (int b = 0; b < 400; ++b) {
                    const int bx = int(unit(random) * w), by = int(unit(random) * h);
                    const float peak = 200 + 2000 * unit(random);
                    for (int y = std::max(0, by - 12); y < std::min(h, by + 13); ++y)
                        for (int x = std::max(0, bx - 12); x < std::min(w, bx + 13); ++x)
                            signal[std::size_t(y) * w + x] +=
                                peak *
                                std::exp(-float((x - bx) * (x - bx) + (y - by) * (y - by)) / 32);
                }
                image tile(w, h);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const float fu = 2.0f * x / (w - 1) - 1, fv = 2.0f * y / (h - 1) - 1;
                        const float shade = 1 - 0.1f * fu * fu - 0.4f * fv * fv;
                        tile(x, y) = std::uint16_t(
                            std::clamp(100 + shade * signal[std::size_t(y) * w + x] + read(random),
                                       0.0f, 65535.0f));
                    }
                s.columns.push_back(tile);
            }
            v.push_back(std::move(s));
        }
        return v;
    }();
    return made;
}

void flat_field_estimate(benchmark::State& state)
{
    const orvane::acquisition a(std::vector<std::string>(columns * 8, "t"), columns, {576, 2048});
    const orvane::mosaic_layout layout(a, 32, 9);
    const auto& samples = flat_samples();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            orvane::estimate_flat_field(samples, layout, static_cast<int>(state.range(0))));
}

}  // namespace

BENCHMARK(flat_field_estimate)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(assembly_library)->Unit(benchmark::kMillisecond);
BENCHMARK(assembly_fused)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(reduction_library)->Unit(benchmark::kMillisecond);
BENCHMARK(reduction_library_without_copy)->Unit(benchmark::kMillisecond);
BENCHMARK(reduction_fused)
    ->Args({1, 4})
    ->Args({2, 4})
    ->Args({1, 2})
    ->Args({1, 8})
    ->Args({1, 3})
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    cimg_library::cimg::openmp_mode(0);  // as the program runs it
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
