// The OME-Zarr volume's making (its levels, its metadata created once) and its chunks (Blosc frames
// of zstd-compressed samples), each put in place by a rename, and the check that a slice's are.
#include "io/ome_zarr.hpp"

#include "base/error.hpp"
#include "base/parallel.hpp"
#include "base/per_thread.hpp"
#include "io/blosc_chunk.hpp"
#include "io/coarse_levels.hpp"
#include "io/output_file.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>
#include <memory>

namespace orvane {

namespace {

// ------------------------------------------------------------------ files

// One level of the volume's directories, in a parent already made: a
// parent gone since means the volume is, which no run should make again
// without its metadata.
void make_level(const std::string& dir)
{
    if (!make_dir(dir))
        refuse_directory(dir, platform::error_text(errno));
}

void put_new(const std::string& path, const std::string& text)
{
    commit_new_file(path, text.data(), text.size());
}

}  // namespace

void prepare_volume(const std::string& path, const volume_layout& layout)
{
    // Everything there is checked before anything is written.
    check_volume(path, layout);
    // A killed run's temporaries go first: they are never taken for
    // metadata, but they are not the volume's.
    remove_stale_temporaries(path);
    // The attributes first: with the slice count and the geometry they fix
    // every other file, so the run that creates them decides the volume;
    // another run starting at the same moment reads them back below and
    // is refused, or writes the same files. The group's file last: a volume
    // a reader finds has all its arrays.
    put_new(path + "/.zattrs", attributes_text(layout));
    check_volume(path, layout);
    for (std::size_t level = 0; level < layout.levels.size(); ++level) {
        make_level(volume_level_dir(path, level));
        remove_stale_temporaries(volume_level_dir(path, level));
        put_new(volume_level_dir(path, level) + "/.zarray", array_text(layout, level));
    }
    put_new(path + "/.zgroup", group_text());
    // What the others were first to create.
    check_volume(path, layout);
}

namespace {

// Compresses the chunk at (chunk_row, chunk_column) of a plane; chunks past
// the plane's right or bottom edge are filled with zeros, as the format stores
// every chunk whole.
std::vector<char> encode_chunk(const std::uint16_t* plane, plane_size size, plane_size chunk,
                               std::int64_t chunk_row, std::int64_t chunk_column,
                               const std::string& path)
{
    const std::int64_t x0 = chunk_column * chunk.width, y0 = chunk_row * chunk.height;
    const sample_window window{plane + y0 * size.width + x0, size.width,
                               std::min(chunk.width, size.width - x0),
                               std::min(chunk.height, size.height - y0)};
    struct compressed_tag;
    auto& compressed = per_thread<compressed_tag, std::vector<char>>();
    compress_chunk(window, chunk.width, chunk.height, compressed, path);
    return compressed;
}

// The compressed chunks of one level's plane of a slice, their chunk row
// directories made.
std::vector<encoded_chunk> encode_level(const std::string& path, const volume_layout& layout,
                                        std::size_t level, std::int32_t slice_index,
                                        const std::uint16_t* plane, int threads)
{
    const plane_size size = layout.levels[level];
    const chunk_grid& grid = layout.grids[level];
    const plane_size chunk = grid.chunk;
    const std::int64_t chunk_rows = grid.rows, chunk_columns = grid.columns;
    std::vector<encoded_chunk> chunks;
    if (chunk_rows == 0 || chunk_columns == 0)
        return chunks;
    make_level(volume_slice_dir(path, level, slice_index));
    for (std::int64_t row = 0; row < chunk_rows; ++row) {
        make_level(chunk_row_dir(path, level, slice_index, row));
        remove_stale_temporaries(chunk_row_dir(path, level, slice_index, row));
    }
    chunks.resize(static_cast<std::size_t>(chunk_rows * chunk_columns));
    parallel_for(chunk_rows * chunk_columns, threads, loop_schedule::one_by_one,
                 [&](std::int64_t k) {
                     const std::int64_t row = k / chunk_columns, column = k % chunk_columns;
                     encoded_chunk& out = chunks[static_cast<std::size_t>(k)];
                     out.path = chunk_path(path, level, slice_index, row, column);
                     out.bytes = encode_chunk(plane, size, chunk, row, column, out.path);
                 });
    return chunks;
}

}  // namespace

void encoded_planes::put_in_place() const
{
    // Every file is written before any is synced, and each is renamed once
    // it is synced, in order: the staged data after the level-0 chunks, as
    // it marks the slice's own part of the volume there for the blocks below.
    std::vector<std::unique_ptr<output_file>> files;
    const auto write = [&files](const encoded_chunk& chunk) {
        files.push_back(std::make_unique<output_file>(chunk.path));
        write_and_start(*files.back(), chunk.bytes.data(), chunk.bytes.size());
    };
    for (const encoded_chunk& chunk : chunks)
        write(chunk);
    if (!stage.path.empty()) {
        write(stage);
        files.back()->keep_cached();  // read back for the blocks below
    }
    for (const std::unique_ptr<output_file>& file : files)
        file->commit();
}

namespace {

// The slice's staged data for level 1 of a volumetric volume, its
// directory made and a killed run's temporaries there removed.
encoded_chunk stage_slice(const std::string& path, const volume_layout& layout,
                          std::int32_t slice_index, const std::uint16_t* plane, int threads)
{
    encoded_chunk stage;
    stage.path = slice_stage_path(path, layout, slice_index);
    const std::string dir = stage.path.substr(0, stage.path.rfind('/'));
    if (!make_dir(path + "/" + volume_staging_name) || !make_dir(dir))
        refuse_directory(dir, platform::error_text(errno));
    remove_stale_temporaries(dir);
    stage.bytes.resize(slice_stage_bytes(layout));
    // Samples in the machine's order: every system this program is built
    // for is little-endian, the order the blocks read them in.
    if (layout.halves_z(1))
        sum_quads(plane, layout.levels[0], reinterpret_cast<std::uint32_t*>(stage.bytes.data()),
                  threads);
    else
        halve_plane(plane, layout.levels[0], reinterpret_cast<std::uint16_t*>(stage.bytes.data()),
                    threads);
    return stage;
}

}  // namespace

encoded_planes encode_volume_planes(const std::string& path, const volume_layout& layout,
                                    std::int32_t slice_index, const std::uint16_t* plane,
                                    int threads)
{
    // Each level is made from the one above, in two buffers that keep their
    // memory from one slice to the next.
    struct halves_tag;
    auto& halves = per_thread<halves_tag, std::array<std::vector<std::uint16_t>, 2>>();
    encoded_planes planes;
    if (layout.form == pyramid_form::volumetric) {
        // Level 0 alone here; the levels below are made from the staged data.
        planes.chunks = encode_level(path, layout, 0, slice_index, plane, threads);
        if (layout.staged())
            planes.stage = stage_slice(path, layout, slice_index, plane, threads);
        return planes;
    }
    const std::uint16_t* above = plane;
    for (std::size_t level = 0; level < layout.levels.size(); ++level) {
        if (level > 0) {
            std::vector<std::uint16_t>& below = halves[level % 2];
            const plane_size size = layout.levels[level];
            below.resize(static_cast<std::size_t>(size.width * size.height));
            halve_plane(above, layout.levels[level - 1], below.data(), threads);
            above = below.data();
        }
        std::vector<encoded_chunk> chunks =
            encode_level(path, layout, level, slice_index, above, threads);
        planes.chunks.insert(planes.chunks.end(), std::make_move_iterator(chunks.begin()),
                             std::make_move_iterator(chunks.end()));
    }
    return planes;
}

void write_volume_planes(const std::string& path, const volume_layout& layout,
                         std::int32_t slice_index, const std::uint16_t* plane, int threads)
{
    encode_volume_planes(path, layout, slice_index, plane, threads).put_in_place();
}

void remove_volume_leftovers(const std::string& path, const volume_layout& layout,
                             std::int32_t slice_index)
{
    const std::size_t levels = layout.form == pyramid_form::planar ? layout.levels.size() : 1;
    for (std::size_t level = 0; level < levels; ++level) {
        for (std::int64_t row = 0; row < layout.grids[level].rows; ++row)
            remove_stale_temporaries(chunk_row_dir(path, level, slice_index, row));
    }
    if (layout.staged()) {
        const std::string stage = slice_stage_path(path, layout, slice_index);
        remove_stale_temporaries(stage.substr(0, stage.rfind('/')));
    }
}

std::string chunk_file_damage(const std::string& path, std::size_t sample_bytes)
{
    const int fd = platform::open_for_reading(path);
    if (fd < 0)
        return "it cannot be read (" + platform::error_text(errno) + ")";
    const std::uint64_t size = platform::status_of_open(fd).size;
    char header[blosc_header_size] = {};
    const std::int64_t got = platform::read_at(fd, header, sizeof header, 0);
    const int cause = errno;
    platform::close_file(fd);
    if (got < 0)
        return "it cannot be read (" + platform::error_text(cause) + ")";
    if (static_cast<std::uint64_t>(got) < std::min<std::uint64_t>(size, sizeof header))
        return "it ended while its header was read";
    return blosc_chunk_damage(header, size, sample_bytes);
}

planes_check check_volume_planes(const std::string& path, const volume_layout& layout,
                                 std::int32_t slice_index)
{
    // A volumetric volume's slice has its own chunks at level 0 only.
    const std::size_t levels = layout.form == pyramid_form::planar ? layout.levels.size() : 1;
    for (std::size_t level = 0; level < levels; ++level) {
        const chunk_grid& grid = layout.grids[level];
        const auto sample_bytes =
            static_cast<std::size_t>(grid.chunk.width * grid.chunk.height * 2);
        for (std::int64_t row = 0; row < grid.rows; ++row)
            for (std::int64_t column = 0; column < grid.columns; ++column) {
                const std::string name = chunk_path(path, level, slice_index, row, column);
                if (!platform::status_of(name).regular)
                    return {false, "", ""};
                std::string damage = chunk_file_damage(name, sample_bytes);
                if (!damage.empty())
                    return {false, name, std::move(damage)};
            }
    }
    return {};
}

}  // namespace orvane
