// Strip encoding and whole-file writing speed: our LZW encoder and writer against libtiff's and the
// image library's.
#include "base/image.hpp"
#include "compat/library_conventions.hpp"
#include "io/lzw.hpp"
#include "io/tiff_writer.hpp"

#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t mosaic_width = 3072;
constexpr std::uint32_t mosaic_height = 2048;

// A mosaic like the acquisitions': dark background with detector noise of
// the given spread, bright blurred structures, 16-bit samples. A spread of 12
// compresses about 1.3 to 1 with LZW, a spread of 2 about 1.7 to 1.
orvane::image make_mosaic(double noise_spread)
{
    orvane::image m(mosaic_width, mosaic_height, 1, 1, 0);
    {
        std::mt19937 random(1);
        std::normal_distribution<double> background(110.0, noise_spread);
        std::uniform_real_distribution<double> where(0.0, 1.0);
        struct blob {
            double x, y, radius, brightness;
        };
        std::vector<blob> blobs;
        for (int i = 0; i < 60; ++i)
            blobs.push_back({where(random) * mosaic_width, where(random) * mosaic_height,
                             8 + where(random) * 60, 500 + where(random) * 4000});
        cimg_forXY(m, x, y)
        {
            double v = background(random);
            for (const blob& b : blobs) {
                const double dx = x - b.x, dy = y - b.y;
                if (std::abs(dx) < 4 * b.radius && std::abs(dy) < 4 * b.radius)
                    v += b.brightness * std::exp(-(dx * dx + dy * dy) / (2 * b.radius * b.radius));
            }
            m(x, y) = static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0));
        }
    }
    return m;
}

// range(0) of every benchmark is the noise spread.
const orvane::image& mosaic(const benchmark::State& state)
{
    static const orvane::image noisy = make_mosaic(12.0);
    static const orvane::image quiet = make_mosaic(2.0);
    return state.range(0) == 12 ? noisy : quiet;
}

const std::size_t mosaic_bytes = std::size_t{mosaic_width} * mosaic_height * 2;
// The writer's strip size for this width: 8 KiB, whole rows.
const std::size_t strip_bytes =
    (8192 / (2 * mosaic_width) > 0 ? 8192 / (2 * mosaic_width) : 1) * std::size_t{mosaic_width} * 2;

void report(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * mosaic_bytes));
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(mosaic_bytes) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

void own_encoder(benchmark::State& state)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(mosaic(state).data());
    std::vector<std::uint8_t> out(orvane::lzw_encode_bound(strip_bytes));
    std::size_t encoded = 0;
    for (auto _ : state) {
        encoded = 0;
        for (std::size_t at = 0; at < mosaic_bytes; at += strip_bytes)
            encoded += orvane::thread_lzw_encoder().encode(
                bytes + at, std::min(strip_bytes, mosaic_bytes - at), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    report(state);
    state.counters["ratio"] = static_cast<double>(mosaic_bytes) / static_cast<double>(encoded);
}

// The strips encoded once, then decoded again and again; MB/s counts output.
void own_decoder(benchmark::State& state)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(mosaic(state).data());
    std::vector<std::vector<std::uint8_t>> strips;
    for (std::size_t at = 0; at < mosaic_bytes; at += strip_bytes) {
        std::vector<std::uint8_t> out(orvane::lzw_encode_bound(strip_bytes));
        out.resize(orvane::thread_lzw_encoder().encode(
            bytes + at, std::min(strip_bytes, mosaic_bytes - at), out.data()));
        strips.push_back(std::move(out));
    }
    std::vector<std::uint8_t> decoded(strip_bytes);
    for (auto _ : state) {
        std::size_t at = 0;
        for (const std::vector<std::uint8_t>& strip : strips) {
            const std::size_t size = std::min(strip_bytes, mosaic_bytes - at);
            if (!orvane::lzw_decode(strip.data(), strip.size(), decoded.data(), size))
                state.SkipWithError("a strip did not decode");
            at += size;
        }
        benchmark::DoNotOptimize(decoded.data());
    }
    report(state);
}

// An in-memory file, so libtiff's timing is its encoder and not the disk.
struct memory_file {
    std::vector<char> bytes;
    std::size_t at = 0;
};

tmsize_t memory_read(thandle_t, void*, tmsize_t) { return 0; }
tmsize_t memory_write(thandle_t h, void* data, tmsize_t size)
{
    auto* f = static_cast<memory_file*>(h);
    const auto n = static_cast<std::size_t>(size);
    if (f->at + n > f->bytes.size())
        f->bytes.resize(f->at + n);
    std::memcpy(f->bytes.data() + f->at, data, n);
    f->at += n;
    return size;
}
toff_t memory_seek(thandle_t h, toff_t offset, int whence)
{
    auto* f = static_cast<memory_file*>(h);
    const auto base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->at : f->bytes.size();
    f->at = static_cast<std::size_t>(base + offset);
    return f->at;
}
int memory_close(thandle_t) { return 0; }
toff_t memory_size(thandle_t h) { return static_cast<memory_file*>(h)->bytes.size(); }

void libtiff_encoder(benchmark::State& state)
{
    const std::uint16_t* pixels = mosaic(state).data();
    const auto rows_per_strip = static_cast<std::uint32_t>(strip_bytes / (2 * mosaic_width));
    memory_file file;
    file.bytes.reserve(mosaic_bytes);
    for (auto _ : state) {
        file.bytes.clear();
        file.at = 0;
        TIFF* tif = TIFFClientOpen("memory", "w", &file, memory_read, memory_write, memory_seek,
                                   memory_close, memory_size, nullptr, nullptr);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, mosaic_width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, mosaic_height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
        std::uint32_t strip = 0;
        for (std::size_t at = 0; at < mosaic_bytes; at += strip_bytes, ++strip)
            TIFFWriteEncodedStrip(tif, strip, const_cast<std::uint16_t*>(pixels) + at / 2,
                                  static_cast<tmsize_t>(std::min(strip_bytes, mosaic_bytes - at)));
        TIFFClose(tif);
        benchmark::DoNotOptimize(file.bytes.data());
    }
    report(state);
}

const std::string bench_path = "/tmp/orvane_lzw_bench.tif";

void library_save_tiff(benchmark::State& state)
{
    const orvane::image& m = mosaic(state);
    for (auto _ : state)
        m.save_tiff(bench_path.c_str(), 1, nullptr, nullptr, true);
    report(state);
}

void own_write_tiff(benchmark::State& state)
{
    const orvane::image& m = mosaic(state);
    const orvane::tiff_write_options options{static_cast<int>(state.range(1)), false};
    for (auto _ : state)
        orvane::write_tiff(bench_path, m.data(), m.width(), m.height(), options);
    report(state);
}

}  // namespace

BENCHMARK(own_encoder)->Arg(12)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(own_decoder)->Arg(12)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(libtiff_encoder)->Arg(12)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(library_save_tiff)->Arg(12)->Unit(benchmark::kMillisecond);
// range(1): encoding threads.
BENCHMARK(own_write_tiff)
    ->Args({12, 1})
    ->Args({12, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv)
{
    orvane::configure_image_library();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::remove(bench_path.c_str());
    return 0;
}
