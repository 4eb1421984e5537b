// The sensor pattern taken out of a tile's rows as they are read.
#pragma once

#include "align/sensor_pattern.hpp"
#include "mosaic/flat_field.hpp"

#include <cstdint>
#include <vector>

namespace orvane::align {

// Hands a tile's rows on to another consumer with the sensor pattern taken
// out: each dead column replaced by its nearest live neighbour in the row,
// each dead row by the nearest live row above it (below it at the top), and
// every value divided by the fall-off. A tile of another size than the
// pattern's passes unchanged.
class sensor_corrected_rows : public row_consumer {
public:
    sensor_corrected_rows(const sensor_pattern& pattern, row_consumer& target);

    void begin(std::uint32_t width, std::uint32_t height) override;
    void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* values) override;

private:
    void correct(std::uint32_t y, const std::uint16_t* in, std::uint16_t* out);

    const sensor_pattern& pattern_;
    row_consumer& target_;
    bool passes_ = true;
    std::uint32_t width_ = 0;
    std::vector<int> column_source_;   // per column, the live column it takes
    std::vector<std::uint16_t> live_;  // the last live row, corrected
    bool have_live_ = false;
    std::uint32_t pending_ = 0;  // dead rows at the top waiting for a live one
};

// Hands a tile's rows on with the flat field taken out, (I - D) / S as the
// stitcher corrects them, before anything else looks at them. A tile of
// another size than the field's passes unchanged.
class flat_corrected_rows : public row_consumer {
public:
    flat_corrected_rows(const flat_field& field, row_consumer& target);

    void begin(std::uint32_t width, std::uint32_t height) override;
    void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* values) override;

private:
    const flat_field& field_;
    row_consumer& target_;
    bool passes_ = true;
    std::vector<std::uint16_t> band_;
};

}  // namespace orvane::align
