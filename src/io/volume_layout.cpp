// The volume's levels and chunk grids in either form, and what a slice worker holds for them.
#include "io/volume_layout.hpp"

#include <algorithm>

namespace orvane {

namespace {

chunk_grid grid_of(plane_size size, std::int64_t side)
{
    chunk_grid grid;
    grid.chunk = {std::clamp<std::int64_t>(size.width, 1, side),
                  std::clamp<std::int64_t>(size.height, 1, side)};
    grid.rows = (size.height + grid.chunk.height - 1) / grid.chunk.height;
    grid.columns = (size.width + grid.chunk.width - 1) / grid.chunk.width;
    return grid;
}

}  // namespace

volume_memory volume_layout::worker_memory(int threads) const
{
    if (levels.empty())
        return {};
    const double canvas =
        static_cast<double>(levels[0].width) * static_cast<double>(levels[0].height) * 2;
    const double chunks = 2 * 2 * static_cast<double>(volume_chunk_side) * volume_chunk_side * 2 *
                          std::max(1, threads);
    volume_memory memory;
    if (form == pyramid_form::planar) {
        // Levels 1 and 2 as quarters of the level above, each thread's chunk
        // (of the largest side, 2 bytes a sample) and its compressed copy.
        memory.buffers = canvas * (1.0 / 4 + 1.0 / 16) + chunks;
        // Blosc's header on every chunk, and a third more than the samples
        // for the chunks that do not compress and the levels below the first.
        memory.encoded_slice = canvas * 4 / 3 * 1.01;
        return memory;
    }
    // The staged plane: level 1's samples, or their unrounded sums at twice
    // the size where level 1 halves z too. It is made in a buffer and kept
    // with the slice's compressed level-0 chunks until they are in place.
    const double staged = levels.size() < 2 ? 0.0 : canvas / 4 * (halves_z(1) ? 2 : 1);
    memory.buffers = staged + chunks;
    memory.encoded_slice = canvas * 1.01 + staged;
    for (std::size_t level = 1; level < levels.size(); ++level) {
        const double side = static_cast<double>(grids[level].chunk.height);
        const double chunk = static_cast<double>(chunk_depths[level]) * side *
                             static_cast<double>(grids[level].chunk.width) * 2;
        const bool sums = level == 1 && halves_z(1);
        // Two input planes' rows, read as bytes and widened to 32 bits.
        const double inputs = 2 * side * (level == 1 ? 1 : 2) *
                              static_cast<double>(levels[level == 1 ? 1 : level - 1].width) *
                              (4 + (sums ? 4 : 2));
        const double band = static_cast<double>(chunk_depths[level]) * side *
                            static_cast<double>(levels[level].width) * 2;
        memory.blocks = std::max(memory.blocks, band + inputs + chunk * 2.1 * std::max(1, threads));
    }
    return memory;
}

volume_layout make_volume_layout(std::string name, std::int64_t slices, plane_size full,
                                 std::optional<voxel_size> voxel, volume_geometry geometry,
                                 pyramid_form form)
{
    volume_layout layout;
    layout.name = std::move(name);
    layout.slices = slices;
    layout.form = form;
    layout.voxel = voxel;
    layout.geometry = geometry;
    if (form == pyramid_form::planar) {
        layout.levels = pyramid_sizes(full, volume_chunk_side);
        for (const plane_size size : layout.levels) {
            layout.grids.push_back(grid_of(size, volume_chunk_side));
            layout.depths.push_back(slices);
            layout.chunk_depths.push_back(1);
            layout.z_chunks.push_back(slices);
            layout.z_halvings.push_back(0);
        }
        return layout;
    }
    const std::vector<pyramid_level> pyramid =
        volume_pyramid(slices, full, voxel, coarse_chunk_side);
    for (std::size_t level = 0; level < pyramid.size(); ++level) {
        const pyramid_level& p = pyramid[level];
        layout.levels.push_back(p.plane);
        layout.grids.push_back(
            grid_of(p.plane, level == 0 ? volume_chunk_side : coarse_chunk_side));
        const std::int64_t depth =
            level == 0 ? 1 : std::clamp<std::int64_t>(p.depth, 1, coarse_chunk_depth);
        layout.depths.push_back(p.depth);
        layout.chunk_depths.push_back(depth);
        layout.z_chunks.push_back((p.depth + depth - 1) / depth);
        layout.z_halvings.push_back(p.z_halvings);
    }
    return layout;
}

}  // namespace orvane
