// The one place the aligner reaches into the stitcher: list, tile reader, errors and assembly.
#include "align/tiles.hpp"

#include "base/image.hpp"
#include "base/parallel.hpp"
#include "base/warnings.hpp"
#include "compat/library_conventions.hpp"
#include "io/flat_field_file.hpp"
#include "io/list_file.hpp"
#include "io/tile_loader.hpp"
#include "mosaic/assemble.hpp"
#include "mosaic/flat_field_estimate.hpp"
#include "mosaic/reduce.hpp"
#include "mosaic/seamless.hpp"
#include "platform/platform.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <limits>

namespace orvane::align {

namespace {

// Adapts a consumer to the TIFF reader's sink, with the band buffer the
// reader decodes into.
class consumer_sink : public row_sink {
public:
    explicit consumer_sink(row_consumer& consumer) : consumer_(consumer) {}

    void begin(std::uint32_t width, std::uint32_t height) override
    {
        width_ = width;
        consumer_.begin(width, height);
    }

    std::uint16_t* room(std::uint32_t, std::uint32_t count) override
    {
        const std::size_t values = std::size_t{count} * width_;
        if (band_.size() < values)
            band_.resize(values);
        return band_.data();
    }

    void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* pixels) override
    {
        consumer_.rows(y0, count, pixels);
    }

private:
    row_consumer& consumer_;
    std::uint32_t width_ = 0;
    std::vector<std::uint16_t> band_;
};

}  // namespace

void prepare_tile_reading(const std::string& program)
{
    configure_image_library();
    name_warning_program(program);
}

std::vector<std::string> read_tile_names(const std::string& list_path)
{
    return read_list(list_path);
}

void read_tile_rows(const std::string& name, row_consumer& consumer)
{
    // TIFFs stream through the stitcher's reader, after the same checks of
    // the name; anything else goes through its loader, as the stitcher reads it.
    consumer_sink sink(consumer);
    if (stream_tile(name, sink))
        return;
    image_buffer tile;
    load_tile(name, tile);
    const image& pixels = tile.pixels();
    const auto width = static_cast<std::uint32_t>(pixels.width());
    const auto height = static_cast<std::uint32_t>(pixels.height());
    consumer.begin(width, height);
    // The first channel of the first slice is the first width * height values.
    if (width > 0 && height > 0)
        consumer.rows(0, height, pixels.data());
}

void refuse_as_stitcher_does(const acquisition& tiles, std::int32_t xoverlap, std::int32_t yoffset,
                             const error& then)
{
    try {
        refuse_unstitchable(tiles, mosaic_layout(tiles, xoverlap, yoffset),
                            platform::physical_memory());
    } catch (const error& refused) {
        if (refused.kind() != failure_kind::usage)
            throw;
        std::cerr << report_text(refused, "orvane") << std::flush;
        throw then;
    }
}

reduced_mosaic stitch_reduced(const acquisition& tiles, const mosaic_layout& layout,
                              std::int32_t slice_index, std::uint32_t max_width,
                              const flat_field* field)
{
    const image_size size = layout.canvas();
    const auto canvas_width = static_cast<std::uint32_t>(std::max<std::int64_t>(0, size.width));
    const int threads = std::max(1, omp_get_max_threads());
    image_buffer canvas;
    canvas.resize(canvas_width, static_cast<std::uint32_t>(size.height));
    if (field) {
        seam_settings settings;
        settings.flat = field;
        // The whole overlap; the slice narrows it where the seams lie closer.
        settings.blend_px = static_cast<std::int32_t>(std::clamp<std::int64_t>(
            2 * std::int64_t{layout.xoverlap()}, 0, std::numeric_limits<std::int32_t>::max()));
        assemble_seamless(canvas.pixels(), slice_tile_files(tiles, slice_index), layout, settings,
                          threads);
    } else {
        assemble_slice(canvas.pixels(), slice_tile_files(tiles, slice_index), layout, threads);
    }
    const auto factor = static_cast<std::int32_t>(
        std::max<std::uint32_t>(1, (canvas_width + max_width - 1) / std::max(1u, max_width)));
    reduced_mosaic result;
    result.factor = factor;
    const image* shown = &canvas.pixels();
    image_buffer reduced;
    if (factor > 1) {
        reduce_canvas(canvas.pixels(), factor, threads, reduced);
        shown = &reduced.pixels();
    }
    result.image.width = static_cast<std::uint32_t>(shown->width());
    result.image.height = static_cast<std::uint32_t>(shown->height());
    result.image.pixels.assign(shown->begin(), shown->end());
    return result;
}

flat_field estimate_tiles_flat_field(const acquisition& tiles, const mosaic_layout& layout)
{
    const int threads = std::max(1, omp_get_max_threads());
    const std::vector<std::int64_t> slices = flat_field_slices(tiles.slice_count());
    const std::int32_t columns = layout.columns();
    std::vector<flat_field_sample> samples(slices.size());
    for (std::size_t i = 0; i < slices.size(); ++i) {
        samples[i].slice = slices[i];
        samples[i].columns.resize(static_cast<std::size_t>(columns));
    }
    parallel_for(static_cast<std::int64_t>(slices.size()) * columns, threads,
                 loop_schedule::one_by_one, [&](std::int64_t k) {
                     const auto i = static_cast<std::size_t>(k / columns);
                     const auto j = static_cast<std::int32_t>(k % columns);
                     samples[i].columns[static_cast<std::size_t>(j)] =
                         load_tile(tiles.tile_name(j, static_cast<std::int32_t>(samples[i].slice)));
                 });
    return estimate_flat_field(samples, layout, threads);
}

flat_field read_tiles_flat_field(const std::string& path, tile_size tile)
{
    return read_flat_field(path, tile);
}

}  // namespace orvane::align
