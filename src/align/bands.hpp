// Pixel grids of the aligner and the bands it keeps of a tile: the columns by each seam, flipped.
#pragma once

#include "align/tiles.hpp"
#include "mosaic/correlate.hpp"

#include <cstdint>
#include <vector>

namespace orvane::align {

using plane = grid<float>;
using pixels = grid<std::uint16_t>;

// Which side of a tile, as the stitcher lays it (flipped left-right): the
// right band of a tile meets the left band of the next column's tile.
enum class band_side { left, right };

// Each block of factor x factor pixels averaged into one value; a partial
// block at the bottom or right is left out.
plane reduce(const pixels& source, int factor);
plane reduce(const plane& source, int factor);

// Keeps bands of a tile as it streams past: the `columns` columns next to
// one side of the flipped tile, in flipped order, reduced by `factor`
// (columns must be a multiple of it). A tile of another size than expected
// keeps nothing and says so.
class band_keeper : public row_consumer {
public:
    band_keeper(std::uint32_t expected_width, std::uint32_t expected_height);

    // A reduced band (factor >= 1) or, with full_resolution, the 16-bit one.
    void want(band_side side, int columns, int factor, plane* into);
    void want(band_side side, int columns, pixels* into);

    void begin(std::uint32_t width, std::uint32_t height) override;
    void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* values) override;

    bool size_matches() const { return matches_; }
    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }

private:
    struct request {
        band_side side;
        int columns;
        int factor;
        plane* reduced;
        pixels* full;
        // The block row being summed, column by column in file order:
        // integers, exact, and a loop that runs in vector lanes.
        std::vector<std::uint32_t> sums, spare;
    };
    void take_row(request& r, std::uint32_t y, const std::uint16_t* row);

    std::uint32_t expected_width_, expected_height_;
    std::uint32_t width_ = 0, height_ = 0;
    bool matches_ = false;
    std::vector<request> requests_;
};

}  // namespace orvane::align
