// What every tile of an acquisition shows alike because it belongs to the camera, and its removal.
#pragma once

#include "align/tiles.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace orvane::align {

// The camera's part of every tile, estimated from tiles that show different
// places: sensor lines that show nothing of the specimen (dead or stuck rows
// and columns, the same value all along them in every tile), and a smooth
// brightness fall-off (vignetting, uneven illumination). Both are the same
// in every tile, so two tiles match on them wherever they line up with
// themselves, whatever the specimen does: a dead row at any overlap with no
// shift, a fall-off at the narrowest overlap. In file coordinates.
struct sensor_pattern {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<bool> dead_rows, dead_columns;  // empty: none
    // The fall-off as relative brightness, a polynomial of degree 4 in
    // u = 2x / (width - 1) - 1 and v = 2y / (height - 1) - 1, coefficient
    // [i][j] of u^i v^j, scaled to a mean of 1 over the tile, when it could
    // be fitted; `variation` is its range over the tile as a share of its
    // highest value. It is divided out (`shaded`) from shading_tolerance up.
    bool fitted = false;
    bool shaded = false;
    double variation = 0.0;
    std::array<std::array<double, 5>, 5> gain{};
    // Every sampled pixel had the same value in every tile: the tiles show
    // nothing but the sensor, and no match between them means anything.
    bool only_sensor = false;

    bool corrects_anything() const { return shaded || !dead_rows.empty() || !dead_columns.empty(); }
    double gain_at(double x, double y) const;  // the fit, or 1 where none
};

// A fall-off smaller than this share of the brightness is left alone: the
// specimen itself leaves that much in the estimate of a flat sensor.
constexpr double shading_tolerance = 0.05;

// Takes whole tiles one after the other (all of the same size; others are
// left out) and estimates their sensor pattern. Estimators of disjoint sets
// of tiles merge, so threads can each take some.
class sensor_pattern_estimator : public row_consumer {
public:
    sensor_pattern_estimator(std::uint32_t width, std::uint32_t height);

    void begin(std::uint32_t width, std::uint32_t height) override;
    void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* values) override;

    // Adds what another estimator of the same size took.
    void merge(const sensor_pattern_estimator& other);
    sensor_pattern finish() const;
    int tiles() const { return tiles_; }

private:
    // Per line, across the tiles taken so far: whether it held one value all
    // along it in each, and the same in all (line_value), or varied.
    struct line_state {
        bool varies = false;
        std::uint16_t value = 0;
    };
    void end_tile();
    void take_line(line_state& line, std::uint16_t low, std::uint16_t high) const;
    void take_block_row(std::uint32_t block_row, std::uint32_t rows);

    std::uint32_t width_, height_;
    std::uint32_t block_;   // a side of the blocks whose levels the fall-off is fitted to
    std::uint32_t stride_;  // between the pixels of a block its level is taken from
    std::uint32_t blocks_x_, blocks_y_;
    int tiles_ = 0;
    bool open_ = false;  // a tile of the right size is being taken
    std::vector<line_state> rows_, columns_;
    // The tile being taken: each row's and column's lowest and highest
    // value, the sampled rows of the block row being read, and its blocks'
    // levels.
    std::vector<std::uint16_t> row_low_, row_high_, column_low_, column_high_;
    std::vector<std::uint16_t> block_rows_;
    std::vector<float> block_levels_;
    std::uint32_t rows_seen_ = 0;
    // Every finished tile's block levels, tile after tile.
    std::vector<float> block_levels_all_;
};

}  // namespace orvane::align
