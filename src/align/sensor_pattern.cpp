// The sensor pattern: dead lines and fall-off estimated over many tiles.
#include "align/sensor_pattern.hpp"

#include "align/fall_off_fit.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace orvane::align {

namespace {

// The fall-off is fitted to the levels of at most this many blocks a side:
// it changes over tens of pixels at the least, and a few thousand values
// fit in no time.
constexpr std::uint32_t fall_off_blocks = 64;

// By value, so the loops over a row hold no branch.
inline std::uint16_t smaller(std::uint16_t a, std::uint16_t b) { return a < b ? a : b; }
inline std::uint16_t larger(std::uint16_t a, std::uint16_t b) { return a > b ? a : b; }

}  // namespace

double sensor_pattern::gain_at(double x, double y) const
{
    if (!fitted)
        return 1.0;
    const double u = fall_off_coordinate(x, width), v = fall_off_coordinate(y, height);
    double value = 0.0;
    for (int i = fall_off_degree; i >= 0; --i) {
        double column = 0.0;
        for (int j = fall_off_degree; j >= 0; --j)
            column = column * v + gain[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
        value = value * u + column;
    }
    return value;
}

sensor_pattern_estimator::sensor_pattern_estimator(std::uint32_t width, std::uint32_t height)
    : width_(width), height_(height),
      block_(std::max<std::uint32_t>(1, (std::max(width, height) + fall_off_blocks - 1) /
                                            fall_off_blocks)),
      stride_(std::max<std::uint32_t>(1, block_ / 8)), blocks_x_((width + block_ - 1) / block_),
      blocks_y_((height + block_ - 1) / block_), rows_(height), columns_(width)
{
}

void sensor_pattern_estimator::begin(std::uint32_t width, std::uint32_t height)
{
    // A second begin for the same tile starts it over: what it took so far
    // is only staged, and goes.
    open_ = width == width_ && height == height_ && width > 0 && height > 0;
    if (!open_)
        return;
    row_low_.assign(height_, 0xffff);
    row_high_.assign(height_, 0);
    column_low_.assign(width_, 0xffff);
    column_high_.assign(width_, 0);
    block_rows_.assign(static_cast<std::size_t>((block_ + stride_ - 1) / stride_) * width_, 0);
    block_levels_.assign(static_cast<std::size_t>(blocks_x_) * blocks_y_, 0.0f);
    rows_seen_ = 0;
}

void sensor_pattern_estimator::rows(std::uint32_t y0, std::uint32_t count,
                                    const std::uint16_t* values)
{
    if (!open_)
        return;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t y = y0 + i;
        const std::uint16_t* row = values + std::size_t{i} * width_;
        // Two plain loops, each of which runs in vector lanes.
        std::uint16_t* column_low = column_low_.data();
        std::uint16_t* column_high = column_high_.data();
        const auto w = static_cast<int>(width_);
#pragma omp simd
        for (int x = 0; x < w; ++x) {
            column_low[x] = smaller(column_low[x], row[x]);
            column_high[x] = larger(column_high[x], row[x]);
        }
        std::uint16_t low = 0xffff, high = 0;
#pragma omp simd reduction(min : low) reduction(max : high)
        for (int x = 0; x < w; ++x) {
            low = low < row[x] ? low : row[x];
            high = high > row[x] ? high : row[x];
        }
        row_low_[y] = low;
        row_high_[y] = high;
        if ((y % block_) % stride_ == 0)
            std::copy_n(row, width_,
                        &block_rows_[static_cast<std::size_t>((y % block_) / stride_) * width_]);
        if (y % block_ == block_ - 1 || y + 1 == height_)
            take_block_row(y / block_, y % block_ + 1);
    }
    rows_seen_ = std::max(rows_seen_, y0 + count);
    if (rows_seen_ >= height_)
        end_tile();
}

// A block's level is the lower quartile of the block's pixels on a grid
// `stride` apart (a few dozen of them: the fall-off is smooth, and this is
// a third reading of every tile): the background where the specimen
// lights only part of the block, which a block's mean would not be.
void sensor_pattern_estimator::take_block_row(std::uint32_t block_row, std::uint32_t rows)
{
    std::vector<std::uint16_t> values;
    for (std::uint32_t bx = 0; bx < blocks_x_; ++bx) {
        const std::uint32_t x0 = bx * block_, x1 = std::min(width_, x0 + block_);
        values.clear();
        for (std::uint32_t r = 0; r * stride_ < rows; ++r) {
            const std::uint16_t* row = &block_rows_[static_cast<std::size_t>(r) * width_];
            for (std::uint32_t x = x0; x < x1; x += stride_)
                values.push_back(row[x]);
        }
        const auto quartile = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 4);
        std::nth_element(values.begin(), quartile, values.end());
        block_levels_[static_cast<std::size_t>(block_row) * blocks_x_ + bx] = *quartile;
    }
}

void sensor_pattern_estimator::take_line(line_state& line, std::uint16_t low,
                                         std::uint16_t high) const
{
    if (low != high || (tiles_ > 0 && line.value != low))
        line.varies = true;
    line.value = low;
}

void sensor_pattern_estimator::end_tile()
{
    open_ = false;
    for (std::uint32_t y = 0; y < height_; ++y)
        take_line(rows_[y], row_low_[y], row_high_[y]);
    for (std::uint32_t x = 0; x < width_; ++x)
        take_line(columns_[x], column_low_[x], column_high_[x]);
    // Each tile's levels relative to its own typical one: tiles differ in
    // brightness (another column's exposure, a blank tile), the fall-off's
    // shape does not. A dark tile tells nothing of it.
    std::vector<float> sorted = block_levels_;
    const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
    std::nth_element(sorted.begin(), middle, sorted.end());
    if (*middle >= 1.0f)
        for (const float level : block_levels_)
            block_levels_all_.push_back(level / *middle);
    ++tiles_;
}

void sensor_pattern_estimator::merge(const sensor_pattern_estimator& other)
{
    if (other.tiles_ == 0)
        return;
    auto join = [&](std::vector<line_state>& mine, const std::vector<line_state>& theirs) {
        for (std::size_t i = 0; i < mine.size(); ++i) {
            if (tiles_ == 0)
                mine[i] = theirs[i];
            else if (theirs[i].varies || theirs[i].value != mine[i].value)
                mine[i].varies = true;
        }
    };
    join(rows_, other.rows_);
    join(columns_, other.columns_);
    block_levels_all_.insert(block_levels_all_.end(), other.block_levels_all_.begin(),
                             other.block_levels_all_.end());
    tiles_ += other.tiles_;
}

sensor_pattern sensor_pattern_estimator::finish() const
{
    sensor_pattern pattern;
    pattern.width = width_;
    pattern.height = height_;
    // One tile cannot tell the sensor from the specimen.
    if (tiles_ < 2)
        return pattern;
    auto dead = [](const std::vector<line_state>& lines) {
        std::vector<bool> out(lines.size());
        std::size_t count = 0;
        for (std::size_t i = 0; i < lines.size(); ++i)
            count += (out[i] = !lines[i].varies) ? 1 : 0;
        return std::make_pair(out, count);
    };
    auto [rows, dead_row_count] = dead(rows_);
    auto [columns, dead_column_count] = dead(columns_);
    // Lines that all hold the same values in every tile leave no live line
    // to stand in for them: the tiles are the sensor alone.
    if (dead_row_count == rows.size() || dead_column_count == columns.size()) {
        pattern.only_sensor = true;
        return pattern;
    }
    if (dead_row_count > 0)
        pattern.dead_rows = std::move(rows);
    if (dead_column_count > 0)
        pattern.dead_columns = std::move(columns);

    // Per block, the lowest of its levels over the tiles: each tile shows
    // another place, and the specimen only adds light, so the tile that shows
    // least of it there shows the sensor's part best. Neighbouring slices of
    // one column show much the same, so a median would still hold the
    // specimen wherever a column is lit through the stack.
    const std::size_t blocks = static_cast<std::size_t>(blocks_x_) * blocks_y_;
    std::vector<fall_off_sample> samples;
    std::vector<double> across(block_levels_all_.size() / std::max<std::size_t>(1, blocks));
    if (across.size() < 2)
        return pattern;
    for (std::size_t b = 0; b < blocks; ++b) {
        for (std::size_t t = 0; t < across.size(); ++t)
            across[t] = block_levels_all_[t * blocks + b];
        const auto bx = static_cast<std::uint32_t>(b % blocks_x_);
        const auto by = static_cast<std::uint32_t>(b / blocks_x_);
        const double cx = bx * block_ + (std::min(block_, width_ - bx * block_) - 1) / 2.0;
        const double cy = by * block_ + (std::min(block_, height_ - by * block_) - 1) / 2.0;
        samples.push_back({fall_off_coordinate(cx, width_), fall_off_coordinate(cy, height_),
                           *std::min_element(across.begin(), across.end())});
    }
    if (!fit_fall_off(samples, pattern.gain))
        return pattern;
    pattern.fitted = true;
    double total = 0.0, lowest = 0.0, highest = 0.0;
    for (std::size_t s = 0; s < samples.size(); ++s) {
        const double g = pattern.gain_at((samples[s].u + 1) * (width_ - 1) / 2.0,
                                         (samples[s].v + 1) * (height_ - 1) / 2.0);
        total += g;
        lowest = s == 0 ? g : std::min(lowest, g);
        highest = s == 0 ? g : std::max(highest, g);
    }
    const double mean = total / static_cast<double>(samples.size());
    pattern.fitted = mean > 0.0 && lowest > 0.0;
    if (!pattern.fitted)
        return pattern;
    pattern.variation = (highest - lowest) / highest;
    pattern.shaded = pattern.variation >= shading_tolerance;
    for (auto& r : pattern.gain)
        for (double& c : r)
            c /= mean;
    return pattern;
}

}  // namespace orvane::align
