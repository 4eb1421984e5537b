// Rows corrected for the sensor pattern: dead lines replaced by live neighbours, fall-off divided
// out.
#include "align/sensor_correction.hpp"

#include "align/fall_off_fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace orvane::align {

sensor_corrected_rows::sensor_corrected_rows(const sensor_pattern& pattern, row_consumer& target)
    : pattern_(pattern), target_(target)
{
}

void sensor_corrected_rows::begin(std::uint32_t width, std::uint32_t height)
{
    passes_ = width != pattern_.width || height != pattern_.height;
    width_ = width;
    have_live_ = false;
    pending_ = 0;
    target_.begin(width, height);
    if (passes_)
        return;
    // Each dead column takes the nearest live one, the left first.
    column_source_.resize(width);
    for (std::uint32_t x = 0; x < width; ++x) {
        column_source_[x] = static_cast<int>(x);
        if (pattern_.dead_columns.empty() || !pattern_.dead_columns[x])
            continue;
        for (std::uint32_t d = 1; d < width; ++d) {
            if (x >= d && !pattern_.dead_columns[x - d]) {
                column_source_[x] = static_cast<int>(x - d);
                break;
            }
            if (x + d < width && !pattern_.dead_columns[x + d]) {
                column_source_[x] = static_cast<int>(x + d);
                break;
            }
        }
    }
    live_.assign(width, 0);
}

void sensor_corrected_rows::correct(std::uint32_t y, const std::uint16_t* in, std::uint16_t* out)
{
    for (std::uint32_t x = 0; x < width_; ++x)
        out[x] = in[column_source_[x]];
    if (!pattern_.shaded)
        return;
    // The polynomial in u for this row: its coefficients are polynomials in v.
    const double v = fall_off_coordinate(y, pattern_.height);
    std::array<double, 5> in_u{};
    for (std::size_t i = 0; i < in_u.size(); ++i)
        for (std::size_t j = pattern_.gain[i].size(); j-- > 0;)
            in_u[i] = in_u[i] * v + pattern_.gain[i][j];
    for (std::uint32_t x = 0; x < width_; ++x) {
        const double u = fall_off_coordinate(x, pattern_.width);
        double g = 0.0;
        for (std::size_t i = in_u.size(); i-- > 0;)
            g = g * u + in_u[i];
        const double value = out[x] / std::max(g, 0.05);
        out[x] = static_cast<std::uint16_t>(std::min(65535.0, std::round(value)));
    }
}

void sensor_corrected_rows::rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* values)
{
    if (passes_) {
        target_.rows(y0, count, values);
        return;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t y = y0 + i;
        const bool dead = !pattern_.dead_rows.empty() && pattern_.dead_rows[y];
        if (dead) {
            if (have_live_)
                target_.rows(y, 1, live_.data());
            else
                ++pending_;
            continue;
        }
        correct(y, values + std::size_t{i} * width_, live_.data());
        have_live_ = true;
        // Dead rows at the top take the first live row below them.
        for (; pending_ > 0; --pending_)
            target_.rows(y - pending_, 1, live_.data());
        target_.rows(y, 1, live_.data());
    }
}

flat_corrected_rows::flat_corrected_rows(const flat_field& field, row_consumer& target)
    : field_(field), target_(target)
{
}

void flat_corrected_rows::begin(std::uint32_t width, std::uint32_t height)
{
    passes_ = width != field_.width || height != field_.height;
    target_.begin(width, height);
}

void flat_corrected_rows::rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* values)
{
    if (passes_) {
        target_.rows(y0, count, values);
        return;
    }
    const std::size_t n = std::size_t{count} * field_.width;
    band_.resize(n);
    std::memcpy(band_.data(), values, n * sizeof(std::uint16_t));
    for (std::uint32_t i = 0; i < count; ++i)
        correct_row(field_, y0 + i, 0, band_.data() + std::size_t{i} * field_.width, field_.width);
    target_.rows(y0, count, band_.data());
}

}  // namespace orvane::align
