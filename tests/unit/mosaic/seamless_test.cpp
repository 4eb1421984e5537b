// A slice without visible seams: the plain layout kept, shifts and gains recovered, seams blended.
#include "base/error.hpp"
#include "mosaic/assemble.hpp"
#include "mosaic/seamless.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

using orvane::image;

namespace {

// Tiles held in memory, one per column, loaded whole or, with band > 0,
// streamed in bands of that many rows.
class memory_tiles : public orvane::tile_source {
public:
    std::vector<image> tiles;
    std::uint32_t band = 0;

    bool stream(std::int32_t column, orvane::row_sink& sink) const override
    {
        if (band == 0)
            return false;
        const image& t = tiles[static_cast<std::size_t>(column)];
        const auto w = static_cast<std::uint32_t>(t.width()),
                   h = static_cast<std::uint32_t>(t.height());
        sink.begin(w, h);
        for (std::uint32_t y0 = 0; y0 < h; y0 += band) {
            const std::uint32_t count = std::min(band, h - y0);
            std::uint16_t* room = sink.room(y0, count);
            std::copy(t.data() + std::size_t{y0} * w, t.data() + std::size_t{y0 + count} * w, room);
            sink.rows(y0, count, room);
        }
        return true;
    }
    void load(std::int32_t column, orvane::image_buffer& into) const override
    {
        const image& t = tiles[static_cast<std::size_t>(column)];
        into.resize(static_cast<std::uint32_t>(t.width()), static_cast<std::uint32_t>(t.height()));
        std::copy(t.data(), t.data() + t.size(), into.pixels().data());
    }
};

struct slice_geometry {
    std::uint32_t width = 96, height = 80;
    std::int32_t xoverlap = 12, yoffset = 2, columns = 3;

    orvane::acquisition tiles() const
    {
        return orvane::acquisition(std::vector<std::string>(static_cast<std::size_t>(columns), "t"),
                                   columns, {width, height});
    }
};

// A specimen with structure at every place and no repeat: smoothed noise.
std::vector<float> specimen(int width, int height, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(0.0f, 4000.0f);
    std::vector<float> raw(static_cast<std::size_t>(width) * height), out(raw.size());
    for (float& v : raw)
        v = noise(random);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            float sum = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    sum += raw[static_cast<std::size_t>(std::clamp(y + dy, 0, height - 1)) * width +
                               std::clamp(x + dx, 0, width - 1)];
            out[static_cast<std::size_t>(y) * width + x] = 1000.0f + sum / 9.0f;
        }
    return out;
}

// Cuts the tiles of a slice from a scene given in canvas coordinates
// (any, even outside the canvas): column j shifted by (dx[j], dy[j]) from its
// nominal place and multiplied by gain[j], flipped as the layout flips it.
memory_tiles cut(const slice_geometry& g, const std::function<float(int, int)>& scene,
                 const std::vector<int>& dx, const std::vector<int>& dy,
                 const std::vector<float>& gain)
{
    memory_tiles out;
    const int pitch = static_cast<int>(g.width) - 2 * g.xoverlap;
    for (int j = 0; j < g.columns; ++j) {
        image tile(static_cast<int>(g.width), static_cast<int>(g.height), 1, 1, 0);
        for (int t = 0; t < static_cast<int>(g.height); ++t)
            for (int f = 0; f < static_cast<int>(g.width); ++f) {
                const int cx = pitch * j - g.xoverlap + dx[static_cast<std::size_t>(j)] + f;
                const int cy = g.yoffset * j + dy[static_cast<std::size_t>(j)] + t;
                const float v = scene(cx, cy) * gain[static_cast<std::size_t>(j)];
                tile(static_cast<int>(g.width) - 1 - f, t) =
                    static_cast<std::uint16_t>(std::clamp(v + 0.5f, 0.0f, 65535.0f));
            }
        out.tiles.push_back(tile);
    }
    return out;
}

std::function<float(int, int)> textured(unsigned seed)
{
    constexpr int margin = 64, size = 512;
    auto values = std::make_shared<std::vector<float>>(specimen(size, size, seed));
    return [values](int x, int y) {
        return (*values)[static_cast<std::size_t>(y + margin) * size + (x + margin)];
    };
}

struct seamless_run {
    image canvas;
    std::vector<orvane::seam_measure> seams;
};

seamless_run run(const slice_geometry& g, const memory_tiles& tiles,
                 const orvane::seam_settings& settings, int threads = 2)
{
    const orvane::acquisition a = g.tiles();
    const orvane::mosaic_layout layout(a, g.xoverlap, g.yoffset);
    seamless_run r;
    // Memory full of other pixels, as a slice thread's canvas holds its last slice.
    r.canvas.assign(static_cast<int>(layout.canvas().width),
                    static_cast<int>(layout.canvas().height), 1, 1, 0xfffe);
    r.seams = orvane::assemble_seamless(r.canvas, tiles, layout, settings, threads);
    return r;
}

orvane::flat_field ones(const slice_geometry& g)
{
    const std::size_t n = std::size_t{g.width} * g.height;
    return {g.width, g.height, std::vector<float>(n, 1.0f), std::vector<float>(n, 0.0f)};
}

// With a flat field of ones and nothing else, the canvas is the plain
// mosaic, pixel for pixel, whatever the shift between columns and the number
// of threads: the seamless path keeps the layout's trim, flip and shift.
TEST(Seamless, FlatFieldOfOnesGivesThePlainMosaic)
{
    // A negative xoverlap shows a strip of zeros beside each tile.
    for (const auto& [xoverlap, yoffset] : {std::pair{12, 0}, {12, 7}, {12, -5}, {-3, 4}}) {
        slice_geometry g;
        g.xoverlap = xoverlap;
        g.yoffset = yoffset;
        g.columns = 4;
        const memory_tiles tiles =
            cut(g, textured(3), {0, 0, 0, 0}, {0, 0, 0, 0}, {1.0f, 1.0f, 1.0f, 1.0f});
        const orvane::acquisition a = g.tiles();
        const orvane::mosaic_layout layout(a, g.xoverlap, g.yoffset);
        image plain(static_cast<int>(layout.canvas().width),
                    static_cast<int>(layout.canvas().height), 1, 1, 0x1234);
        orvane::assemble_slice(plain, tiles, layout, 1);
        const orvane::flat_field field = ones(g);
        orvane::seam_settings settings;
        settings.flat = &field;
        // Without an overlap to compare, matching gains keeps them 1 and changes no pixel.
        settings.match_gain = xoverlap < 0;
        for (const int threads : {1, 3}) {
            const seamless_run r = run(g, tiles, settings, threads);
            EXPECT_TRUE(r.canvas == plain)
                << "yoffset " << yoffset << ", " << threads << " threads";
            ASSERT_EQ(r.seams.size(), 3u);
            for (std::size_t k = 0; k < r.seams.size(); ++k) {
                EXPECT_EQ(r.seams[k].left_column, static_cast<std::int32_t>(k));
                EXPECT_FALSE(r.seams[k].reliable);
                EXPECT_EQ(r.seams[k].gain_left, 1.0);
            }
        }
    }
}

// A column moved by a few pixels is found and put back where the specimen
// continues; the next column follows it. Flat overlaps and a specimen that
// repeats within the search range keep the nominal place.
TEST(Seamless, RegistrationRecoversShiftsAndKeepsNominalWhenUnsure)
{
    slice_geometry g;
    const auto scene = textured(5);
    orvane::seam_settings settings;
    settings.register_px = 6;
    {
        const memory_tiles tiles = cut(g, scene, {0, 3, 1}, {0, -2, 2}, {1.0f, 1.0f, 1.0f});
        const seamless_run r = run(g, tiles, settings);
        ASSERT_EQ(r.seams.size(), 2u);
        EXPECT_TRUE(r.seams[0].reliable);
        EXPECT_EQ(r.seams[0].dx, 3);
        EXPECT_EQ(r.seams[0].dy, -2);
        EXPECT_GT(r.seams[0].score, 0.9);
        EXPECT_TRUE(r.seams[1].reliable);
        EXPECT_EQ(r.seams[1].dx, -2);
        EXPECT_EQ(r.seams[1].dy, 4);
        // Every covered pixel shows the specimen where it belongs.
        int wrong = 0;
        for (int y = 0; y < r.canvas.height(); ++y)
            for (int x = 0; x < r.canvas.width(); ++x)
                if (r.canvas(x, y) != 0 &&
                    r.canvas(x, y) != static_cast<std::uint16_t>(scene(x, y) + 0.5f))
                    ++wrong;
        EXPECT_EQ(wrong, 0);
        // Column 2 lies 4 rows lower than nominal: its top rows are uncovered.
        EXPECT_EQ(r.canvas(r.canvas.width() - 1, 2 * g.yoffset + 1), 0);
        // Everything on, the slice is the same however many threads make it.
        orvane::seam_settings all = settings;
        all.match_gain = true;
        all.blend_px = 2 * g.xoverlap;
        EXPECT_TRUE(run(g, tiles, all, 1).canvas == run(g, tiles, all, 3).canvas);
    }
    {
        const auto flat = [](int, int) { return 3000.0f; };
        const memory_tiles tiles = cut(g, flat, {0, 3, 0}, {0, 1, 0}, {1.0f, 1.0f, 1.0f});
        const seamless_run r = run(g, tiles, settings);
        for (const orvane::seam_measure& m : r.seams) {
            EXPECT_FALSE(m.reliable);
            EXPECT_EQ(m.dx, 0);
            EXPECT_EQ(m.dy, 0);
        }
    }
    {
        // Vertical stripes 4 pixels apart: shifts of 4 columns look alike.
        const auto stripes = [](int x, int y) {
            return 2000.0f + 1500.0f * std::sin(2.0f * 3.14159265f * x / 4.0f) + 0.0f * y;
        };
        const memory_tiles tiles = cut(g, stripes, {0, 2, 0}, {0, 0, 0}, {1.0f, 1.0f, 1.0f});
        const seamless_run r = run(g, tiles, settings);
        EXPECT_FALSE(r.seams[0].reliable);
        EXPECT_EQ(r.seams[0].dx, 0);
    }
    {
        // A shift beyond the search range is at its edge at best.
        const memory_tiles tiles = cut(g, scene, {0, 9, 9}, {0, 0, 0}, {1.0f, 1.0f, 1.0f});
        const seamless_run r = run(g, tiles, settings);
        EXPECT_FALSE(r.seams[0].reliable);
        EXPECT_EQ(r.seams[0].dx, 0);
    }
}

double mean(const image& canvas)
{
    double sum = 0;
    for (const std::uint16_t v : canvas)
        sum += v;
    return sum / static_cast<double>(canvas.size());
}

// Columns of gains 0.8, 1 and 1.2 come out alike, and the mosaic keeps its
// mean brightness; a dark overlap keeps gains at 1 instead of dividing by it.
TEST(Seamless, GainsAreMatchedWithTheMeanKept)
{
    slice_geometry g;
    g.yoffset = 0;
    const auto scene = textured(9);
    orvane::seam_settings settings;
    settings.match_gain = true;
    const std::vector<float> gains{0.8f, 1.0f, 1.2f};
    const memory_tiles tiles = cut(g, scene, {0, 0, 0}, {0, 0, 0}, gains);
    const orvane::acquisition a = g.tiles();
    image plain(static_cast<int>(g.width - 2 * g.xoverlap) * g.columns, static_cast<int>(g.height));
    orvane::assemble_slice(plain, tiles, orvane::mosaic_layout(a, g.xoverlap, g.yoffset), 1);
    const seamless_run r = run(g, tiles, settings);
    ASSERT_EQ(r.seams.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_NEAR(r.seams[k].gain_left * gains[k], r.seams[k].gain_right * gains[k + 1], 0.003);
        EXPECT_FALSE(r.seams[k].reliable);
    }
    EXPECT_NEAR(mean(r.canvas), mean(plain), 0.5);
    // The columns now show the specimen at one common gain.
    const double common = r.seams[0].gain_left * gains[0];
    for (int x : {10, 80, 150})
        EXPECT_NEAR(r.canvas(x, 40), scene(x, 40) * common, 0.002 * scene(x, 40) + 1) << x;

    const auto dark = [](int, int) { return 3.0f; };
    const memory_tiles dark_tiles = cut(g, dark, {0, 0, 0}, {0, 0, 0}, gains);
    for (const orvane::seam_measure& m : run(g, dark_tiles, settings).seams) {
        EXPECT_EQ(m.gain_left, 1.0);
        EXPECT_EQ(m.gain_right, 1.0);
    }
}

// Across a seam between a column of 1000 and one of 3000, the band is a
// smooth rise without a step larger than a small part of the difference;
// outside it the columns keep their values; blends wider than the overlap
// are held to it.
TEST(Seamless, BlendIsContinuousAcrossTheSeam)
{
    slice_geometry g;
    g.yoffset = 0;
    g.columns = 2;
    const auto level = [](int, int) { return 1.0f; };
    const memory_tiles tiles = cut(g, level, {0, 0}, {0, 0}, {1000.0f, 3000.0f});
    const int seam = static_cast<int>(g.width) - 2 * g.xoverlap;
    for (const std::int32_t blend : {8, 24, 200}) {
        orvane::seam_settings settings;
        settings.blend_px = blend;
        const seamless_run r = run(g, tiles, settings);
        const int band = std::min(blend, 2 * g.xoverlap);
        const int first = seam - band / 2, end = first + band;
        int largest_step = 0;
        for (int x = 1; x < r.canvas.width(); ++x) {
            const int step = r.canvas(x, 30) - r.canvas(x - 1, 30);
            EXPECT_GE(step, 0) << x;
            largest_step = std::max(largest_step, step);
            if (x < first) {
                EXPECT_EQ(r.canvas(x, 30), 1000) << x;
            }
            if (x >= end) {
                EXPECT_EQ(r.canvas(x, 30), 3000) << x;
            }
        }
        // A raised cosine over `band` pixels rises at most pi / 2 / band of the way per pixel.
        EXPECT_LE(largest_step, 2000.0 * 1.6 / band + 1) << blend;
        EXPECT_NEAR(r.canvas(seam - 1, 30) + r.canvas(seam, 30), 4000, 2) << blend;
    }
}

}  // namespace

// What the sensor adds to a tile (light falling to 55 % at the sides, a
// dark offset) is undone by the correction, up to the rounding of what the
// sensor saw.
TEST(Seamless, FlatFieldCorrectionUndoesTheSensor)
{
    const std::uint32_t w = 192, h = 128;
    const double dark = 400;
    auto light = [&](double x, double y) {
        const double u = (x + 0.5) / w * 2 - 1, v = (y + 0.5) / h * 2 - 1;
        return 1 - 0.45 * (0.7 * u * u + 0.3 * v * v);
    };
    std::mt19937 random(11);
    std::uniform_int_distribution<int> value(0, 60000);
    orvane::image truth(w, h, 1, 1, 0), seen(w, h, 1, 1, 0);
    orvane::flat_field exact{w, h, std::vector<float>(w * h), std::vector<float>(w * h, dark)};
    cimg_forXY(truth, x, y)
    {
        truth(x, y) = static_cast<std::uint16_t>(value(random));
        seen(x, y) = static_cast<std::uint16_t>(truth(x, y) * light(x, y) + dark + 0.5);
        exact.flat[y * w + x] = static_cast<float>(light(x, y));
    }
    // Values below the dark level clamp to 0, above the range to 65535.
    seen(0, 0) = 10;
    truth(0, 0) = 0;
    exact.flat[1] = 0.5f;
    seen(1, 0) = 65000;
    truth(1, 0) = 65535;
    orvane::correct_tile(exact, seen, 2);
    cimg_forXY(seen, x, y) ASSERT_NEAR(seen(x, y), truth(x, y), 2) << x << "," << y;

    // A tile of another size is refused as a tile that cannot be read with
    // this field, naming both sizes, and left as it was.
    orvane::image narrower(w - 1, h, 1, 1, 7);
    try {
        orvane::correct_tile(exact, narrower, 2);
        FAIL() << "a tile of another size was corrected";
    } catch (const orvane::error& e) {
        EXPECT_EQ(e.kind(), orvane::failure_kind::read);
        EXPECT_NE(e.cause().find("191 x 128"), std::string::npos) << e.cause();
        EXPECT_NE(e.cause().find("192 x 128"), std::string::npos) << e.cause();
    }
    cimg_forXY(narrower, x, y) ASSERT_EQ(narrower(x, y), 7);

    // A slice whose tiles are corrected band by band as they stream in is the
    // slice corrected after loading them whole.
    const slice_geometry g;
    memory_tiles tiles = cut(g, textured(5), {0, 2, 1}, {0, -1, 0}, {1.0f, 1.2f, 0.9f});
    orvane::flat_field sensor = ones(g);
    for (std::size_t i = 0; i < sensor.flat.size(); ++i) {
        sensor.flat[i] =
            0.6f + 0.8f * static_cast<float>(i % g.width) / static_cast<float>(g.width);
        sensor.dark[i] = static_cast<float>(i % 7) * 20.5f;
    }
    orvane::seam_settings settings;
    settings.flat = &sensor;
    settings.match_gain = true;
    settings.register_px = 4;
    settings.blend_px = 8;
    const seamless_run whole = run(g, tiles, settings);
    tiles.band = 7;
    EXPECT_TRUE(run(g, tiles, settings).canvas == whole.canvas);
}
