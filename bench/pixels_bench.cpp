// Library calls against the fused passes: mosaic assembly and the reduced copy.
#include "mosaic/assemble.hpp"
#include "mosaic/reduce.hpp"

#include <benchmark/benchmark.h>

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

}  // namespace

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
