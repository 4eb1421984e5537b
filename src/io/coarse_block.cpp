// A block of chunks of a level below the first, made band by band of chunk rows from the staged
// planes of the level above: each voxel the rounded mean of those it covers, exact in integers.
#include "io/coarse_block.hpp"

#include "base/error.hpp"
#include "base/parallel.hpp"
#include "base/per_thread.hpp"
#include "io/blosc_chunk.hpp"
#include "io/coarse_levels.hpp"
#include "io/output_file.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

namespace orvane {

std::string staging_dir(const std::string& path) { return path + "/" + volume_staging_name; }

std::string plane_path(const std::string& path, std::size_t level, std::int64_t z)
{
    return staging_dir(path) + "/" + std::to_string(level) + "/" + std::to_string(z);
}

std::uint64_t plane_bytes(const volume_layout& layout, std::size_t level)
{
    return static_cast<std::uint64_t>(layout.levels[level].width * layout.levels[level].height) * 2;
}

plane_range block_planes(const volume_layout& layout, std::size_t level, std::int64_t block)
{
    const std::int64_t depth = layout.chunk_depths[level];
    return {block * depth, std::min((block + 1) * depth, layout.depths[level])};
}

plane_range input_planes(const volume_layout& layout, std::size_t level, plane_range out)
{
    const std::int64_t factor = layout.halves_z(level) ? 2 : 1;
    const std::int64_t above = level == 1 ? layout.slices : layout.depths[level - 1];
    return {out.first * factor, std::min(out.end * factor, above)};
}

std::string input_path(const std::string& path, const volume_layout& layout, std::size_t level,
                       std::int64_t z)
{
    if (level == 1)
        return slice_stage_path(path, layout, static_cast<std::int32_t>(z));
    return plane_path(path, level - 1, z);
}

namespace {

// Reads `count` bytes at `offset` of the staged file `name` into `into`.
void read_exact(const std::string& name, std::uint64_t offset, std::size_t count, void* into)
{
    const int fd = platform::open_for_reading(name);
    if (fd < 0)
        throw error(failure_kind::open, name, platform::error_text(errno));
    std::size_t done = 0;
    while (done < count) {
        const std::int64_t got =
            platform::read_at(fd, static_cast<char*>(into) + done, count - done, offset + done);
        if (got <= 0) {
            const int cause = got < 0 ? errno : 0;
            platform::close_file(fd);
            throw error(failure_kind::read, name,
                        cause ? platform::error_text(cause) : "the file ended early");
        }
        done += static_cast<std::size_t>(got);
    }
    platform::close_file(fd);
}

// Reads rows [first, end) of a staged plane `width` samples wide into `out`
// as 32-bit values (sums: 32-bit samples, else 16-bit, little-endian).
void read_rows(const std::string& name, std::int64_t first, std::int64_t end, std::int64_t width,
               bool sums, std::vector<std::uint32_t>& out)
{
    const std::size_t count = static_cast<std::size_t>((end - first) * width);
    const std::size_t sample = sums ? 4 : 2;
    struct bytes_tag;
    auto& bytes = per_thread<bytes_tag, std::vector<unsigned char>>();
    bytes.resize(count * sample);
    read_exact(name, static_cast<std::uint64_t>(first * width) * sample, bytes.size(),
               bytes.data());
    out.resize(count);
    const unsigned char* b = bytes.data();
    if (sums)
        for (std::size_t i = 0; i < count; ++i)
            out[i] = std::uint32_t{b[4 * i]} | std::uint32_t{b[4 * i + 1]} << 8 |
                     std::uint32_t{b[4 * i + 2]} << 16 | std::uint32_t{b[4 * i + 3]} << 24;
    else
        for (std::size_t i = 0; i < count; ++i)
            out[i] = std::uint32_t{b[2 * i]} | std::uint32_t{b[2 * i + 1]} << 8;
}

// log2 of how many level-0 pixels (sums) or pixels of the level above each
// output row or column of level l covers along one axis: input_side inputs,
// `factor` of them per output, each of weight 1, or of the 1 or 2 level-0
// pixels it sums. Every count is 1, 2 or 4, so a mean is a shift.
std::vector<int> axis_shifts(std::int64_t out_side, std::int64_t input_side, std::int64_t factor,
                             bool sums, std::int64_t full_side)
{
    std::vector<int> shifts(static_cast<std::size_t>(out_side), 0);
    for (std::int64_t o = 0; o < out_side; ++o) {
        std::int64_t weight = 0;
        for (std::int64_t i = o * factor; i < std::min((o + 1) * factor, input_side); ++i)
            weight += sums ? std::min<std::int64_t>(2, full_side - 2 * i) : 1;
        shifts[static_cast<std::size_t>(o)] = weight >= 4 ? 2 : weight >= 2 ? 1 : 0;
    }
    return shifts;
}

}  // namespace

void make_block(const std::string& path, const volume_layout& layout, std::size_t level,
                std::int64_t block, int threads, block_buffers& buffers)
{
    const plane_range out = block_planes(layout, level, block);
    const bool sums = level == 1 && layout.halves_z(1);
    // Level 1's inputs are already halved in y and x; the slices' own level
    // 1 is taken as it is where z does not halve.
    const std::int64_t xy = level == 1 ? 1 : 2;
    const plane_size size = layout.levels[level];
    const plane_size in_size = layout.levels[level - 1 + (level == 1 ? 1 : 0)];
    const bool stage = level + 1 < layout.levels.size() && !(level == 1 && !layout.halves_z(1));
    const chunk_grid& grid = layout.grids[level];
    const std::int64_t chunk_depth = layout.chunk_depths[level];
    const std::vector<int> row_shifts =
        axis_shifts(size.height, in_size.height, xy, sums, layout.levels[0].height);
    const std::vector<int> column_shifts =
        axis_shifts(size.width, in_size.width, xy, sums, layout.levels[0].width);
    // Level 1 where z does not halve is the slices' staged planes as they are.
    const bool as_staged = level == 1 && !layout.halves_z(1);

    std::vector<std::unique_ptr<output_file>> staged;
    std::vector<int> staged_fds;
    const std::string stage_dir = staging_dir(path) + "/" + std::to_string(level);
    if (stage) {
        // A killed maker's temporaries go first.
        if (!make_dir(staging_dir(path)) || !make_dir(stage_dir))
            refuse_directory(stage_dir, platform::error_text(errno));
        remove_stale_temporaries(stage_dir);
    }
    for (std::int64_t z = out.first; stage && z < out.end; ++z) {
        staged.push_back(std::make_unique<output_file>(plane_path(path, level, z)));
        staged.back()->keep_cached();  // the next level reads it back
        const int fd = platform::create_for_writing(staged.back()->temp_path());
        if (fd < 0)
            throw error(failure_kind::write, staged.back()->temp_path(),
                        "cannot create it: " + platform::error_text(errno));
        staged_fds.push_back(fd);
        staged.back()->hold(unsynced_file(staged.back()->temp_path(), fd));
    }
    if (!make_dir(volume_slice_dir(path, level, static_cast<std::int32_t>(block))))
        refuse_directory(volume_slice_dir(path, level, static_cast<std::int32_t>(block)),
                         platform::error_text(errno));

    std::vector<std::uint16_t>& band = buffers.band;
    std::array<std::vector<std::uint32_t>, 2>& inputs = buffers.inputs;
    std::vector<std::unique_ptr<output_file>> chunk_files(
        static_cast<std::size_t>(grid.rows * grid.columns));
    for (std::int64_t row = 0; row < grid.rows; ++row) {
        const std::string row_dir =
            chunk_row_dir(path, level, static_cast<std::int32_t>(block), row);
        if (!make_dir(row_dir))
            refuse_directory(row_dir, platform::error_text(errno));
        remove_stale_temporaries(row_dir);
        const std::int64_t y0 = row * grid.chunk.height,
                           y1 = std::min(y0 + grid.chunk.height, size.height);
        const std::int64_t band_plane = (y1 - y0) * size.width;
        // Every plane of the band is filled below, row by row.
        band.resize(static_cast<std::size_t>(band_plane * (out.end - out.first)));
        for (std::int64_t z = out.first; z < out.end; ++z) {
            const plane_range in = input_planes(layout, level, {z, z + 1});
            const std::int64_t in_y0 = y0 * xy, in_y1 = std::min(y1 * xy, in_size.height);
            std::uint16_t* plane = band.data() + (z - out.first) * band_plane;
            if (as_staged) {
                read_exact(input_path(path, layout, level, z),
                           static_cast<std::uint64_t>(y0 * size.width) * 2,
                           static_cast<std::size_t>(band_plane) * 2, plane);
                continue;
            }
            for (std::int64_t zi = in.first; zi < in.end; ++zi)
                read_rows(input_path(path, layout, level, zi), in_y0, in_y1, in_size.width, sums,
                          inputs[zi - in.first]);
            const int plane_shift = in.end - in.first == 2 ? 1 : 0;
            const std::int64_t in_rows = in_y1 - in_y0, in_width = in_size.width;
            parallel_for(y1 - y0, threads, loop_schedule::blocks, [&](std::int64_t y) {
                struct total_tag;
                auto& total = per_thread<total_tag, std::vector<std::uint32_t>>();
                total.assign(static_cast<std::size_t>(size.width), 0);
                std::uint32_t* sum = total.data();
                for (std::int64_t p = 0; p < in.end - in.first; ++p)
                    for (std::int64_t yi = y * xy; yi < std::min((y + 1) * xy, in_rows); ++yi) {
                        const std::uint32_t* from = inputs[p].data() + yi * in_width;
                        if (xy == 1) {
                            for (std::int64_t x = 0; x < in_width; ++x)
                                sum[x] += from[x];
                            continue;
                        }
                        for (std::int64_t x = 0; x < in_width / 2; ++x)
                            sum[x] += from[2 * x] + from[2 * x + 1];
                        if (in_width % 2 != 0)
                            sum[in_width / 2] += from[in_width - 1];
                    }
                const int row_shift = plane_shift + row_shifts[static_cast<std::size_t>(y0 + y)];
                std::uint16_t* to = plane + y * size.width;
                for (std::int64_t x = 0; x < size.width; ++x) {
                    const int shift = row_shift + column_shifts[static_cast<std::size_t>(x)];
                    to[x] = static_cast<std::uint16_t>((sum[x] + ((1u << shift) >> 1)) >> shift);
                }
            });
            if (stage && !platform::write_at(staged_fds[static_cast<std::size_t>(z - out.first)],
                                             plane, static_cast<std::size_t>(band_plane) * 2,
                                             static_cast<std::uint64_t>(y0 * size.width) * 2))
                throw error(failure_kind::write,
                            staged[static_cast<std::size_t>(z - out.first)]->temp_path(),
                            "cannot write: " + platform::error_text(errno));
        }
        // The chunks of the band: the planes past the level's depth and the
        // pixels past its sides are zeros, as every chunk is stored whole.
        parallel_for(grid.columns, threads, loop_schedule::one_by_one, [&](std::int64_t column) {
            const std::int64_t x0 = column * grid.chunk.width,
                               columns = std::min(grid.chunk.width, size.width - x0);
            const std::int64_t chunk_rows = chunk_depth * grid.chunk.height;
            // A band of whole chunk rows and depth is the chunk's rows one
            // after the other, as the chunk lays them out: compressed where it
            // lies, the columns past the level's side padded by the compressor.
            sample_window window{band.data() + x0, size.width, columns, chunk_rows};
            if (y1 - y0 != grid.chunk.height || out.end - out.first != chunk_depth) {
                struct chunk_tag;
                auto& chunk = per_thread<chunk_tag, std::vector<std::uint16_t>>();
                chunk.assign(static_cast<std::size_t>(chunk_rows * grid.chunk.width), 0);
                for (std::int64_t z = 0; z < out.end - out.first; ++z)
                    for (std::int64_t y = 0; y < y1 - y0; ++y)
                        std::copy_n(band.data() + z * band_plane + y * size.width + x0, columns,
                                    chunk.data() + (z * grid.chunk.height + y) * grid.chunk.width);
                window = {chunk.data(), grid.chunk.width, grid.chunk.width, chunk_rows};
            }
            const std::string name =
                chunk_path(path, level, static_cast<std::int32_t>(block), row, column);
            struct compressed_tag;
            auto& compressed = per_thread<compressed_tag, std::vector<char>>();
            compress_chunk(window, grid.chunk.width, chunk_rows, compressed, name);
            std::unique_ptr<output_file>& file =
                chunk_files[static_cast<std::size_t>(row * grid.columns + column)];
            file = std::make_unique<output_file>(name);
            write_and_start(*file, compressed.data(), compressed.size());
        });
    }
    for (const int fd : staged_fds)
        platform::start_writeback(fd);
    for (std::unique_ptr<output_file>& file : chunk_files)
        file->commit();
    // Staged planes go into place after the chunks: a block whose chunks are
    // there but whose planes are not is made again when the next level needs them.
    for (std::unique_ptr<output_file>& file : staged)
        file->commit();
}

}  // namespace orvane
