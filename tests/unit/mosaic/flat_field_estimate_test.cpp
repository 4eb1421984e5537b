// The flat and dark fields estimated from an acquisition's own tiles, against a known truth.
#include "mosaic/flat_field_estimate.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

using orvane::image;

namespace {

struct blob {
    double x, y, z, radius, brightness;
};

// What the sensor and the stage do to an acquisition of a known specimen.
struct conditions {
    std::uint32_t width = 192, height = 256;
    std::int32_t columns = 4, slices = 8, xoverlap = 12, yoffset = 3;
    double falloff = 0.0;                   // S at the sides and ends falls by about this share
    double centre_x = 0.5, centre_y = 0.5;  // where S is highest, as a share of the tile
    double dark = 0.0, dark_slope = 0.0;    // D and its rise across the tile
    std::vector<double> gains{1, 1, 1, 1};
    int drift = 0;  // each column and slice moved by up to this many pixels
    bool noise = true;
    bool blank = false;  // no specimen: the background's glow and noise only
    unsigned seed = 5;
};

// A z-stack of fluorescent blobs over a dark, faintly glowing background,
// cut into flipped columns as the layout lays them, and the truth.
struct acquisition_truth {
    std::vector<orvane::flat_field_sample> samples;
    std::vector<std::vector<std::vector<float>>> clean;   // g_c * S * T + D, no noise
    std::vector<std::vector<std::vector<float>>> target;  // g_c * T
    std::vector<float> flat, dark;                        // S (mean 1) and D
    double range = 0;
};

acquisition_truth make(const conditions& c)
{
    std::mt19937 random(c.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const int w = int(c.width), h = int(c.height), pitch = w - 2 * c.xoverlap;
    const double canvas_w = pitch * c.columns + 2 * c.xoverlap + 64;
    const double canvas_h = h + c.yoffset * c.columns + 64;
    std::vector<blob> blobs;
    for (int i = 0; !c.blank && i < int(canvas_w * canvas_h / 1500); ++i)
        blobs.push_back({unit(random) * canvas_w - 32, unit(random) * canvas_h - 32,
                         unit(random) * (c.slices + 8) - 4, 2 + 7 * unit(random),
                         150 + 2500 * unit(random) * unit(random)});
    // The specimen of each slice on a canvas with a margin of 32 pixels.
    const int cw = int(canvas_w), ch = int(canvas_h);
    std::vector<std::vector<float>> scenes;
    for (int k = 0; k < c.slices; ++k) {
        std::vector<float> scene(std::size_t(cw) * std::size_t(ch), 3.0f);  // a faint glow
        for (const blob& b : blobs) {
            const double peak = b.brightness * std::exp(-(k - b.z) * (k - b.z) / 18);
            const int reach = int(std::ceil(3.5 * b.radius));
            for (int y = std::max(0, int(b.y) + 32 - reach);
                 y < std::min(ch, int(b.y) + 33 + reach); ++y)
                for (int x = std::max(0, int(b.x) + 32 - reach);
                     x < std::min(cw, int(b.x) + 33 + reach); ++x) {
                    const double d2 =
                        ((x - 32 - b.x) * (x - 32 - b.x) + (y - 32 - b.y) * (y - 32 - b.y)) /
                        (b.radius * b.radius);
                    scene[std::size_t(y) * std::size_t(cw) + std::size_t(x)] +=
                        float(peak * std::exp(-0.5 * d2));
                }
        }
        scenes.push_back(std::move(scene));
    }
    auto specimen = [&](int x, int y, int k) {
        return double(
            scenes[std::size_t(k)][std::size_t(y + 32) * std::size_t(cw) + std::size_t(x + 32)]);
    };
    acquisition_truth a;
    const std::size_t n = std::size_t(w) * std::size_t(h);
    a.flat.resize(n);
    a.dark.resize(n);
    double flat_sum = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double ux = (x - c.centre_x * (w - 1)) / (0.5 * w);
            const double vy = (y - c.centre_y * (h - 1)) / (0.5 * h);
            const double s = 1 - c.falloff * (0.35 * ux * ux + 0.65 * vy * vy);
            a.flat[std::size_t(y) * w + x] = float(s);
            flat_sum += s;
            a.dark[std::size_t(y) * w + x] =
                float(c.dark + c.dark_slope * (0.7 * x / (w - 1.0) + 0.3 * y / (h - 1.0)));
        }
    for (float& s : a.flat)
        s = float(s * double(n) / flat_sum);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int k = 0; k < c.slices; ++k) {
        orvane::flat_field_sample sample;
        sample.slice = k;
        a.clean.emplace_back();
        a.target.emplace_back();
        for (int j = 0; j < c.columns; ++j) {
            const int dx = c.drift ? int(random() % (2 * c.drift + 1)) - c.drift : 0;
            const int dy = c.drift ? int(random() % (2 * c.drift + 1)) - c.drift : 0;
            image tile(c.width, c.height, 1, 1, 0);
            std::vector<float> clean(n), target(n);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    // The layout puts tile pixel (x, y) at canvas column
                    // pitch * j - xoverlap + (w - 1 - x), row yoffset * j + y.
                    const double t = specimen(pitch * j - c.xoverlap + (w - 1 - x) + dx,
                                              c.yoffset * j + y + dy, k);
                    const std::size_t i = std::size_t(y) * w + x;
                    const double signal = c.gains[std::size_t(j)] * a.flat[i] * t;
                    clean[i] = float(signal + a.dark[i]);
                    target[i] = float(c.gains[std::size_t(j)] * t);
                    a.range = std::max(a.range, double(target[i]));
                    const double noisy =
                        clean[i] + (c.noise ? std::sqrt(2.56 + signal) * normal(random) : 0.0);
                    tile(unsigned(x), unsigned(y)) =
                        std::uint16_t(std::clamp(std::lround(noisy), 0L, 65535L));
                }
            sample.columns.push_back(tile);
            a.clean.back().push_back(std::move(clean));
            a.target.back().push_back(std::move(target));
        }
        a.samples.push_back(std::move(sample));
    }
    return a;
}

struct accuracy {
    double flat_rms = 0, flat_max = 0;  // relative error of S
    double dark_max = 0;                // units
    double corrected_rms = 0;           // of the noise-free tiles corrected, % of the range
};

accuracy measure(const acquisition_truth& a, const orvane::flat_field& f)
{
    accuracy r;
    double sum2 = 0;
    for (std::size_t i = 0; i < a.flat.size(); ++i) {
        const double e = f.flat[i] / a.flat[i] - 1;
        sum2 += e * e;
        r.flat_max = std::max(r.flat_max, std::abs(e));
        r.dark_max = std::max(r.dark_max, std::abs(double(f.dark[i]) - a.dark[i]));
    }
    r.flat_rms = std::sqrt(sum2 / double(a.flat.size()));
    double err2 = 0, count = 0;
    for (std::size_t k = 0; k < a.clean.size(); ++k)
        for (std::size_t j = 0; j < a.clean[k].size(); ++j)
            for (std::size_t i = 0; i < a.flat.size(); ++i) {
                const double e = (a.clean[k][j][i] - f.dark[i]) / f.flat[i] - a.target[k][j][i];
                err2 += e * e;
                count += 1;
            }
    r.corrected_rms = 100 * std::sqrt(err2 / count) / a.range;
    std::printf("S rms %.2f %%, max %.2f %%; D max error %.2f; corrected %.3f %% of range\n",
                100 * r.flat_rms, 100 * r.flat_max, r.dark_max, r.corrected_rms);
    return r;
}

// The estimate from the sampled tiles, given one at a time; `reads`, when
// given, counts the tiles asked for.
orvane::flat_field estimate(const conditions& c, const acquisition_truth& a, int threads,
                            std::size_t* reads = nullptr)
{
    const orvane::acquisition tiles(
        std::vector<std::string>(std::size_t(c.columns) * std::size_t(c.slices), "t"), c.columns,
        {c.width, c.height});
    std::atomic<std::size_t> asked{0};
    orvane::flat_field f = orvane::estimate_flat_field(
        a.samples.size(),
        [&](std::size_t i, std::int32_t j, orvane::image_buffer&) -> const orvane::image* {
            ++asked;
            return &a.samples[i].columns[std::size_t(j)];
        },
        orvane::mosaic_layout(tiles, c.xoverlap, c.yoffset), threads);
    if (reads != nullptr)
        *reads = asked;
    return f;
}

// Light falling to about 55 % at a tile's ends, off centre, a camera offset
// with a gradient, gains 15-25 % apart, read and shot noise, and the stage
// moving the columns a few pixels from slice to slice: S comes within 2 %
// (RMS), D within a few units (the background's faint glow, 3 units times
// gain and S, is as dark to the estimate as the camera's offset), the corrected tiles within a
// quarter percent of the range of the truth, and the same for any thread
// count; every sampled tile is read once.
TEST(FlatFieldEstimate, RecoversShadingDarkFieldAndGains)
{
    conditions c;
    c.falloff = 0.45;
    c.centre_x = 0.56;
    c.centre_y = 0.43;
    c.dark = 100;
    c.dark_slope = 8;
    c.gains = {1.0, 1.2, 0.85, 1.05};
    for (const int drift : {0, 3}) {
        c.drift = drift;
        const acquisition_truth a = make(c);
        std::size_t reads = 0;
        const orvane::flat_field f = estimate(c, a, 2, &reads);
        EXPECT_EQ(reads, a.samples.size() * std::size_t(c.columns));
        const accuracy r = measure(a, f);
        EXPECT_LT(r.flat_rms, 0.02) << "drift " << drift;
        EXPECT_LT(r.flat_max, 0.06) << "drift " << drift;
        EXPECT_LT(r.dark_max, 5.5) << "drift " << drift;
        EXPECT_LT(r.corrected_rms, 0.25) << "drift " << drift;
        const orvane::flat_field one = estimate(c, a, 1);
        EXPECT_EQ(one.flat, f.flat);
        EXPECT_EQ(one.dark, f.dark);
    }
}

// A perfect acquisition (S = 1, D = 0, equal gains) is left nearly alone:
// the specimen's own structure passes for a little shading at most (on
// tiles this small; on 576 x 2048 tiles S comes within 1.6 %), and tiles
// with no specimen at all give S = 1 and the background as D.
TEST(FlatFieldEstimate, LeavesAPerfectAcquisitionNearlyFlat)
{
    conditions c;
    const acquisition_truth a = make(c);
    const accuracy r = measure(a, estimate(c, a, 2));
    EXPECT_LT(r.flat_rms, 0.05);
    EXPECT_LT(r.flat_max, 0.12);
    EXPECT_LT(r.dark_max, 5.5);
    EXPECT_LT(r.corrected_rms, 0.4);

    // Tiles with nothing but background hold nothing to shade: S stays 1.
    c.blank = true;
    const orvane::flat_field blank = estimate(c, make(c), 2);
    for (std::size_t i = 0; i < blank.flat.size(); ++i) {
        ASSERT_NEAR(blank.flat[i], 1.0f, 1e-3f) << i;
        ASSERT_NEAR(blank.dark[i], 3.0f, 1.5f) << i;
    }
}

// A small stack is read whole; a large one at a few percent, spread evenly
// from end to end.
TEST(FlatFieldEstimate, SamplesFewSpreadSlices)
{
    EXPECT_TRUE(orvane::flat_field_slices(0).empty());
    EXPECT_EQ(orvane::flat_field_slices(3), (std::vector<std::int64_t>{0, 1, 2}));
    EXPECT_EQ(orvane::flat_field_slices(8).size(), 8u);
    for (const std::int64_t count : {9, 100, 1000, 100000}) {
        const std::vector<std::int64_t> s = orvane::flat_field_slices(count);
        EXPECT_GE(s.size(), 8u);
        EXPECT_LE(double(s.size()), std::max(8.0, 0.03 * double(count)));
        EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
        EXPECT_EQ(std::adjacent_find(s.begin(), s.end()), s.end());
        EXPECT_GE(s.front(), 0);
        EXPECT_LT(s.back(), count);
        // Evenly spread: the gaps differ by at most one slice.
        EXPECT_LT(s.front(), count / std::int64_t(s.size()));
        EXPECT_GE(s.back(), count - count / std::int64_t(s.size()) - 1);
    }
}

}  // namespace
