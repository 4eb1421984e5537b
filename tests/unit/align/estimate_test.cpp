// The pair estimator on bands cut from a synthetic specimen with a known overlap and shift.
#include "align/bands.hpp"
#include "align/estimate.hpp"
#include "align/sensor_correction.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

using namespace orvane::align;

namespace {

// A specimen of blurred blobs of many sizes on a dark background, from a
// fixed seed; the two bands of a pair are cut from it.
class PairEstimate : public ::testing::Test {
protected:
    struct cut {
        int band, height, overlap, shift;
        float gain = 1.1f;  // the right tile is this much brighter
        int noise = 4;      // +- units of uniform noise on both
    };

    // left: the left tile's rightmost `band` columns; right: the right
    // tile's leftmost, whose row r and column c show the left tile's row
    // r + shift, column (band - overlap) + c.
    void make(const cut& c)
    {
        const int margin = std::abs(c.shift);
        const int width = 2 * c.band, height = c.height + 2 * margin;
        std::vector<float> specimen(static_cast<std::size_t>(width) * height, 100.0f);
        std::mt19937 rng(17);
        auto uniform = [&](double lo, double hi) {
            return lo + (hi - lo) * (rng() / 4294967296.0);
        };
        const int blobs = width * height / 300;
        for (int b = 0; b < blobs; ++b) {
            const double bx = uniform(0, width), by = uniform(0, height);
            const double radius = uniform(1.0, 8.0), brightness = uniform(300, 3000);
            const int reach = static_cast<int>(3 * radius) + 1;
            for (int y = std::max(0, int(by) - reach); y < std::min(height, int(by) + reach); ++y)
                for (int x = std::max(0, int(bx) - reach); x < std::min(width, int(bx) + reach);
                     ++x) {
                    const double d2 = (x - bx) * (x - bx) + (y - by) * (y - by);
                    specimen[static_cast<std::size_t>(y) * width + x] +=
                        static_cast<float>(brightness * std::exp(-d2 / (2 * radius * radius)));
                }
        }
        auto at = [&](int x, int y, float gain) {
            const int spread = 2 * c.noise + 1;
            const auto noise = static_cast<float>(static_cast<int>(rng() % spread) - c.noise);
            return static_cast<std::uint16_t>(std::clamp(
                gain * specimen[static_cast<std::size_t>(y) * width + x] + noise, 0.0f, 65535.0f));
        };
        left = pixels(c.band, c.height);
        right = pixels(c.band, c.height);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.band; ++x) {
                left.row(y)[x] = at(x, y + margin, 1.0f);
                right.row(y)[x] = at(x + c.band - c.overlap, y + margin + c.shift, c.gain);
            }
        limits.max_overlap = c.band;
        limits.max_shift = c.height / 4;
    }

    pixels left, right;
    search_limits limits;
};

// Exact overlaps and shifts at every level of reduction (factor 1, 2 and 4),
// for both signs of the shift, odd overlaps, and overlaps wider than the
// largest fast transform size of the band (115 -> 108, 300 -> 150 x 2).
TEST_F(PairEstimate, FindsTheOverlapAndShiftToThePixel)
{
    const cut cuts[] = {{128, 192, 20, -13},  {128, 192, 37, 5}, {115, 160, 112, 0},
                        {300, 400, 251, -40}, {300, 400, 9, 60}, {600, 1100, 400, -60},
                        {600, 1100, 45, 17},  {96, 128, 30, 31}};
    for (const cut& c : cuts) {
        SCOPED_TRACE(testing::Message() << "overlap " << c.overlap << " shift " << c.shift
                                        << " band " << c.band << " x " << c.height);
        make(c);
        const alignment a = estimate_pair(left, right, limits);
        EXPECT_TRUE(a.found);
        EXPECT_EQ(a.overlap, c.overlap);
        EXPECT_EQ(a.shift, c.shift);
        EXPECT_GT(a.score, 0.9);
        EXPECT_FALSE(a.at_edge);
    }
}

// A true overlap beyond --max-overlap must not come back as an estimate
// inside the range without saying it lies at the edge.
TEST_F(PairEstimate, AnOverlapBeyondTheSearchIsFlaggedAtTheEdge)
{
    make({128, 192, 100, 6});
    limits.max_overlap = 60;
    const alignment a = estimate_pair(left, right, limits);
    EXPECT_TRUE(!a.found || a.at_edge || a.score < 0.9);
    EXPECT_LE(a.overlap, 60);
}

// Flat or structureless bands give no alignment (or none worth taking),
// never a confident made-up one.
TEST_F(PairEstimate, FlatAndNoiseOnlyBandsScoreNothing)
{
    make({128, 192, 20, 0});
    std::fill(left.values.begin(), left.values.end(), 500);
    std::fill(right.values.begin(), right.values.end(), 500);
    const alignment flat = estimate_pair(left, right, limits);
    EXPECT_FALSE(flat.found);
    EXPECT_EQ(flat.score, 0.0);

    std::mt19937 rng(3);
    for (auto* band : {&left, &right})
        for (auto& v : band->values)
            v = static_cast<std::uint16_t>(100 + rng() % 10);
    EXPECT_LT(estimate_pair(left, right, limits).score, 0.3);
}

// Hot and dead pixels, alone or two side by side, anywhere up to the very
// edge, go; a ramp, whose values lie within their neighbours', stays.
TEST(CalmOutliers, RemovesIsolatedOutliersAndKeepsStructure)
{
    pixels band(9, 7);
    for (int y = 0; y < band.height; ++y)
        for (int x = 0; x < band.width; ++x)
            band.row(y)[x] = static_cast<std::uint16_t>(1000 + 10 * x + y);
    const pixels ramp = band;
    band = calmed(band);
    // Inside, a ramp has no extremes; on the edges, mirrored, it moves a step at most.
    for (int y = 1; y + 1 < band.height; ++y)
        for (int x = 1; x + 1 < band.width; ++x) {
            EXPECT_EQ(band.row(y)[x], ramp.row(y)[x]);
        }

    band.row(3)[4] = 65535;
    band.row(3)[5] = 65535;  // a pair
    band.row(0)[0] = 65535;  // a corner
    band.row(6)[2] = 0;      // dead, on the edge
    band = calmed(band);
    for (int y = 0; y < band.height; ++y)
        for (int x = 0; x < band.width; ++x) {
            SCOPED_TRACE(testing::Message() << "x " << x << " y " << y);
            EXPECT_NEAR(band.row(y)[x], ramp.row(y)[x], 11);
        }
}

// The stitcher flips every tile: a tile's right band is its first file
// columns backwards, its left band its last ones; reduction averages blocks.
TEST(BandKeeper, FlipsTrimsAndReducesTheColumnsNextToEachSeam)
{
    const std::uint32_t w = 10, h = 4;
    std::vector<std::uint16_t> tile(w * h);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            tile[y * w + x] = static_cast<std::uint16_t>(100 * y + x);
    band_keeper keeper(w, h);
    pixels right, left;
    plane reduced;
    keeper.want(band_side::right, 3, &right);
    keeper.want(band_side::left, 2, &left);
    keeper.want(band_side::left, 4, 2, &reduced);
    keeper.begin(w, h);
    keeper.rows(0, 1, tile.data());
    keeper.rows(1, 3, tile.data() + w);
    ASSERT_TRUE(keeper.size_matches());
    EXPECT_EQ(right.values,
              (std::vector<std::uint16_t>{2, 1, 0, 102, 101, 100, 202, 201, 200, 302, 301, 300}));
    EXPECT_EQ(left.values, (std::vector<std::uint16_t>{9, 8, 109, 108, 209, 208, 309, 308}));
    // Flipped columns 0..3 are file columns 9..6; blocks of 2 x 2.
    EXPECT_EQ(reduced.values, (std::vector<float>{58.5f, 56.5f, 258.5f, 256.5f}));

    band_keeper other(w + 1, h);
    other.want(band_side::right, 3, &right);
    other.begin(w, h);
    other.rows(0, h, tile.data());
    EXPECT_FALSE(other.size_matches());
    EXPECT_TRUE(right.empty());
}

// The sensor pattern from tiles of different places: a fall-off mapped onto
// the wrong coordinates, or a dead line stood in for by another than its
// neighbour, would leave the corrected tiles uneven or wrong at the line.
TEST(SensorPattern, FallOffDividedOutAndDeadLinesTakeTheirNeighbours)
{
    const int width = 128, height = 96, dead_row = 10, dead_column = 50;
    auto fall_off = [&](int x, int y) {
        const double u = x - 40.0, v = y - 30.0;  // off centre, as a lamp may be
        return 1.0 - 0.3 * (u * u + v * v) / (88.0 * 88.0 + 66.0 * 66.0);
    };
    std::mt19937 rng(3);
    auto make_tile = [&] {
        std::vector<std::uint16_t> tile(static_cast<std::size_t>(width) * height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                double level = 1000.0 + static_cast<double>(rng() % 21) - 10.0;
                if (rng() % 10 == 0)
                    level += 5000.0;  // the specimen: bright, here and there
                tile[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint16_t>(
                    y == dead_row || x == dead_column ? 0 : std::lround(level * fall_off(x, y)));
            }
        return tile;
    };
    // Two estimators take three tiles each, as threads do, and merge.
    sensor_pattern_estimator all(width, height), other(width, height);
    for (int t = 0; t < 6; ++t) {
        const std::vector<std::uint16_t> tile = make_tile();
        sensor_pattern_estimator& e = t < 3 ? all : other;
        e.begin(width, height);
        e.rows(0, height, tile.data());
    }
    all.merge(other);
    const sensor_pattern pattern = all.finish();
    ASSERT_TRUE(pattern.shaded);
    EXPECT_EQ(std::count(pattern.dead_rows.begin(), pattern.dead_rows.end(), true), 1);
    EXPECT_TRUE(pattern.dead_rows[dead_row]);
    EXPECT_EQ(std::count(pattern.dead_columns.begin(), pattern.dead_columns.end(), true), 1);
    EXPECT_TRUE(pattern.dead_columns[dead_column]);
    for (const auto& [x, y] : {std::pair{0, 0}, {127, 95}, {127, 0}, {0, 95}, {90, 70}})
        EXPECT_NEAR(pattern.gain_at(x, y) / pattern.gain_at(40, 30), fall_off(x, y), 0.02)
            << x << ", " << y;

    struct keep_all : row_consumer {
        std::vector<std::uint16_t> pixels;
        void begin(std::uint32_t w, std::uint32_t h) override { pixels.assign(w * h, 0); }
        void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* values) override
        {
            std::copy_n(values, count * width, pixels.begin() + y0 * width);
        }
    } kept;
    sensor_corrected_rows corrected(pattern, kept);
    const std::vector<std::uint16_t> tile = make_tile();
    corrected.begin(width, height);
    corrected.rows(0, dead_row + 3, tile.data());  // rows come in batches
    corrected.rows(dead_row + 3, height - dead_row - 3, tile.data() + (dead_row + 3) * width);
    auto at = [&](int x, int y) { return kept.pixels[static_cast<std::size_t>(y) * width + x]; };
    for (int x = 0; x < width; ++x)
        EXPECT_EQ(at(x, dead_row), at(x, dead_row - 1)) << x;
    // A dead column takes its neighbour's raw value, divided by its own gain.
    for (int y = 0; y < height; ++y)
        EXPECT_NEAR(at(dead_column, y), at(dead_column - 1, y), 0.01 * at(dead_column - 1, y)) << y;
    // The background is as bright in the corners as at the centre again.
    auto lower_quartile = [&](int x0, int y0) {
        std::vector<std::uint16_t> values;
        for (int y = y0; y < y0 + 8; ++y)
            for (int x = x0; x < x0 + 8; ++x)
                values.push_back(at(x, y));
        std::nth_element(values.begin(), values.begin() + 16, values.end());
        return static_cast<double>(values[16]);
    };
    for (const auto& [x, y] : {std::pair{0, 0}, {120, 88}, {120, 0}})
        EXPECT_NEAR(lower_quartile(x, y) / lower_quartile(36, 26), 1.0, 0.03) << x << ", " << y;
}

}  // namespace
