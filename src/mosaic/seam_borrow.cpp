// Gains for a seam whose own overlap is too dark: the same seam's ratio as the nearest slice with
// enough signal there measures it, read from that slice's tiles, so no slice waits for another.
#include "base/error.hpp"
#include "mosaic/seam_view.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace orvane::seam_detail {

namespace {

// Keeps the tile columns [x0, x0 + width) of a tile of the expected size as
// it is decoded, corrected by the flat field as the slice's own tiles are.
class band_rows : public row_sink {
public:
    band_rows(std::vector<std::uint16_t>& band, image_buffer& scratch, tile_size expected,
              std::uint32_t x0, std::uint32_t width, const flat_field* flat)
        : band_(band), scratch_(scratch), expected_(expected), x0_(x0), width_(width), flat_(flat)
    {
    }

    void begin(std::uint32_t width, std::uint32_t height) override
    {
        tile_width_ = width;
        sized_ = width == expected_.width && height == expected_.height;
        if (sized_)
            band_.resize(std::size_t{width_} * height);
    }

    // A tile of another size is decoded all the same, into the same room,
    // and left out.
    std::uint16_t* room(std::uint32_t, std::uint32_t count) override
    {
        return scratch_.resize(std::max(1u, tile_width_), std::max(1u, count));
    }

    void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* pixels) override
    {
        if (!sized_)
            return;
        for (std::uint32_t r = 0; r < count; ++r)
            take(y0 + r, pixels + std::size_t{r} * tile_width_);
    }

    // Row y of the tile, whole.
    void take(std::uint32_t y, const std::uint16_t* row)
    {
        std::uint16_t* const out = band_.data() + std::size_t{y} * width_;
        std::copy(row + x0_, row + x0_ + width_, out);
        if (flat_ && flat_->width == expected_.width && flat_->height == expected_.height)
            correct_row(*flat_, y, x0_, out, width_);
    }

    bool sized() const { return sized_; }

private:
    std::vector<std::uint16_t>& band_;
    image_buffer& scratch_;
    tile_size expected_;
    std::uint32_t x0_, width_;
    const flat_field* flat_;
    std::uint32_t tile_width_ = 0;
    bool sized_ = false;
};

// Reads the band of one tile; false where the tile is not of the expected
// size or cannot be read, which makes its slice one without signal there.
bool read_band(const tile_source& tiles, std::int32_t column, band_rows& sink, image_buffer& whole)
{
    try {
        if (tiles.stream(column, sink))
            return sink.sized();
        tiles.load(column, whole);
    } catch (const error& e) {
        // This slice's result must not hang on another slice's tile: a
        // missing or unreadable one is that slice's failure, reported there,
        // and this slice looks further. Anything else (no memory) is this
        // slice's own failure.
        switch (e.kind()) {
        case failure_kind::open:
        case failure_kind::read:
        case failure_kind::library_io:
        case failure_kind::library_instance:
        case failure_kind::library_argument: return false;
        default: throw;
        }
    }
    const image& tile = whole.pixels();
    sink.begin(static_cast<std::uint32_t>(tile.width()), static_cast<std::uint32_t>(tile.height()));
    if (!sink.sized())
        return false;
    for (int y = 0; y < tile.height(); ++y)
        sink.take(static_cast<std::uint32_t>(y),
                  tile.data() +
                      static_cast<std::size_t>(y) * static_cast<std::size_t>(tile.width()));
    return true;
}

// The bands of the two tiles of a seam, and the room a tile is decoded in:
// a band of rows as it is streamed, the whole tile where it cannot be.
struct band_buffers {
    std::vector<std::uint16_t> left, right;
    image_buffer decoded;
};

}  // namespace

std::optional<double> nearest_gain_ratio(const tile_source& tiles, const mosaic_layout& layout,
                                         const seam_settings& settings, std::int32_t left,
                                         std::int64_t canvas_width)
{
    const tile_size reference = layout.reference();
    const std::int64_t xoverlap = layout.xoverlap();
    if (left < 0 || left + 1 >= layout.columns() || xoverlap <= 0 || reference.width == 0 ||
        reference.height == 0)
        return std::nullopt;
    // The right tile lies within +-register_px of its nominal place, so the
    // pixels both tiles cover are within 2 * xoverlap + register_px columns
    // of the left tile's right side (its first columns as read: tiles are
    // flipped) and of the right tile's left side (its last ones).
    const auto band = static_cast<std::uint32_t>(std::min<std::int64_t>(
        reference.width, 2 * xoverlap + std::max<std::int32_t>(0, settings.register_px)));
    band_buffers buffers;
    slice_view s{layout, band, reference.height, {}};
    s.columns.resize(static_cast<std::size_t>(layout.columns()));
    column_place& l = s.columns[static_cast<std::size_t>(left)];
    column_place& r = s.columns[static_cast<std::size_t>(left) + 1];
    for (std::int32_t distance = 1; distance <= max_borrow_distance; ++distance)
        for (const std::int32_t offset : {-distance, distance}) {
            const std::unique_ptr<tile_source> other = tiles.other_slice(offset);
            if (!other)
                continue;
            band_rows left_band(buffers.left, buffers.decoded, reference, 0, band, settings.flat);
            band_rows right_band(buffers.right, buffers.decoded, reference, reference.width - band,
                                 band, settings.flat);
            if (!read_band(*other, left, left_band, buffers.decoded) ||
                !read_band(*other, left + 1, right_band, buffers.decoded))
                continue;
            l.pixels = buffers.left.data();
            r.pixels = buffers.right.data();
            // That slice's own registration of the seam, so the ratio is the
            // one it measures itself; its left column at its nominal place.
            const seam_measure m = settings.register_px > 0
                                       ? register_seam(s, left, settings.register_px)
                                       : seam_measure{};
            // Flipped column f of the left band is the tile's f + width - band.
            l.left = layout.place(left) - xoverlap + (reference.width - band);
            l.top = layout.shift(left);
            r.left = layout.place(left + 1) - xoverlap + m.dx;
            r.top = layout.shift(left + 1) + m.dy;
            if (const std::optional<double> q = seam_gain_ratio(s, left, canvas_width))
                return q;
        }
    return std::nullopt;
}

}  // namespace orvane::seam_detail
