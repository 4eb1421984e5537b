// The OME-Zarr volume's metadata (written with the JSON library, and read back to check a volume
// already there) and its chunks (Blosc frames of zstd-compressed samples), each put in place by a
// rename.
#include "io/ome_zarr.hpp"

#include "base/error.hpp"
#include "base/parallel.hpp"
#include "io/blosc_chunk.hpp"
#include "io/output_file.hpp"
#include "platform/platform.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace orvane {

using json = nlohmann::json;

namespace {

json compressor_json()
{
    // Blosc's codes: shuffle 1 is the byte shuffle; block size 0 leaves it to
    // the frames, whose headers state it.
    return {{"id", "blosc"},
            {"cname", blosc_chunk_codec},
            {"clevel", blosc_chunk_level},
            {"shuffle", 1},
            {"blocksize", 0}};
}

// 2^level as a double, exact for every level a 32-bit side can have.
double level_factor(std::size_t level) { return static_cast<double>(std::uint64_t{1} << level); }

json axes_json(const volume_layout& layout)
{
    json axes = json::array();
    for (const char* name : {"z", "y", "x"}) {
        json axis = {{"name", name}, {"type", "space"}};
        if (layout.voxel)
            axis["unit"] = "micrometer";
        axes.push_back(axis);
    }
    return axes;
}

// Level l's scale (Z, Y 2^l, X 2^l) and, from level 1, the translation that
// puts its pixel centres on those of the pixels it covers: a pixel of level l
// covers 2^l pixels of level 0, whose centres lie (2^l - 1) / 2 of them past
// its first. Without a voxel size the unit is a pixel.
json dataset_json(const volume_layout& layout, std::size_t level)
{
    const voxel_size voxel = layout.voxel.value_or(voxel_size{1, 1, 1});
    const double factor = level_factor(level);
    json transforms = json::array();
    transforms.push_back(
        {{"type", "scale"}, {"scale", {voxel.z, voxel.y * factor, voxel.x * factor}}});
    if (level > 0) {
        const double offset = (factor - 1) / 2;
        transforms.push_back(
            {{"type", "translation"}, {"translation", {0.0, offset * voxel.y, offset * voxel.x}}});
    }
    return {{"path", std::to_string(level)}, {"coordinateTransformations", transforms}};
}

json attributes_json(const volume_layout& layout)
{
    json datasets = json::array();
    for (std::size_t level = 0; level < layout.levels.size(); ++level)
        datasets.push_back(dataset_json(layout, level));
    json multiscale = {
        {"version", "0.4"},
        {"name", layout.name},
        {"type", "mean"},
        {"metadata",
         {{"description",
           "each level halves the one above in y and x; each pixel is the mean of "
           "the 2 x 2 pixels it covers (fewer at the far edges), rounded to nearest"},
          {"method", "orvane"}}},
        {"axes", axes_json(layout)},
        {"datasets", datasets}};
    return {{"multiscales", json::array({multiscale})}};
}

json array_json(const volume_layout& layout, std::size_t level)
{
    const plane_size size = layout.levels[level];
    const plane_size chunk = layout.chunk(level);
    return {{"zarr_format", 2},
            {"shape", {layout.slices, size.height, size.width}},
            {"chunks", {1, chunk.height, chunk.width}},
            {"dtype", "<u2"},
            {"compressor", compressor_json()},
            {"fill_value", 0},
            {"order", "C"},
            {"filters", nullptr},
            {"dimension_separator", "/"}};
}

std::string text_of(const json& value) { return value.dump(4) + "\n"; }

// ------------------------------------------------------------------ files

std::string level_dir(const std::string& path, std::size_t level)
{
    return path + "/" + std::to_string(level);
}

void make_level(const std::string& dir)
{
    if (!platform::make_directory(dir) && errno != EEXIST)
        throw error(failure_kind::write, dir,
                    "cannot create the directory: " + platform::error_text(errno));
}

// Writes the bytes under a temporary name, syncs them and renames them onto
// path, so the name shows the whole file or nothing, after a power loss too.
void put_in_place(const std::string& path, const void* data, std::size_t size)
{
    output_file file(path);
    const int fd = platform::create_for_writing(file.temp_path());
    if (fd < 0)
        throw error(failure_kind::write, file.temp_path(),
                    "cannot create it: " + platform::error_text(errno));
    unsynced_file written(file.temp_path(), fd);
    if (!platform::write_at(fd, data, size, 0))
        throw error(failure_kind::write, file.temp_path(),
                    "cannot write: " + platform::error_text(errno));
    file.hold(std::move(written));
    file.commit();
}

void put_text(const std::string& path, const std::string& text)
{
    put_in_place(path, text.data(), text.size());
}

// The whole file at path.
std::string read_text(const std::string& path)
{
    const int fd = platform::open_for_reading(path);
    if (fd < 0)
        throw error(failure_kind::open, path, platform::error_text(errno));
    std::string text(platform::status_of_open(fd).size, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const std::int64_t got = platform::read_at(fd, &text[done], text.size() - done, done);
        if (got <= 0) {
            const int cause = got < 0 ? errno : 0;
            platform::close_file(fd);
            throw error(failure_kind::read, path,
                        cause ? platform::error_text(cause) : "the file ended early");
        }
        done += static_cast<std::size_t>(got);
    }
    platform::close_file(fd);
    return text;
}

// --------------------------------------------------- checking a volume there

[[noreturn]] void refuse(const std::string& path, const std::string& difference)
{
    throw error(failure_kind::volume, path, difference);
}

json read_json(const std::string& path)
{
    const std::string text = read_text(path);
    json value = json::parse(text, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        refuse(path, "it is no JSON object");
    return value;
}

// Refuses the file at path when one of the keys differs between what is
// there and what this run writes.
void compare_keys(const std::string& path, const json& there, const json& ours,
                  std::initializer_list<const char*> keys)
{
    for (const char* key : keys) {
        const json theirs = there.contains(key) ? there.at(key) : json();
        if (theirs != ours.at(key))
            refuse(path, std::string("its ") + key + " is " + theirs.dump() +
                             " where this run's is " + ours.at(key).dump());
    }
}

void check_attributes(const std::string& path, const volume_layout& layout)
{
    const json there = read_json(path);
    const json ours = attributes_json(layout)["multiscales"][0];
    if (!there.contains("multiscales") || !there["multiscales"].is_array() ||
        there["multiscales"].empty() || !there["multiscales"][0].is_object())
        refuse(path, "it holds no multiscale");
    const json& theirs = there["multiscales"][0];
    compare_keys(path, theirs, ours, {"axes"});
    // The levels and their scales, named one level at a time.
    const json empty = json::array();
    const json& datasets = theirs.contains("datasets") ? theirs["datasets"] : empty;
    if (!datasets.is_array() || datasets.size() != ours["datasets"].size())
        refuse(path, "it has " + std::to_string(datasets.is_array() ? datasets.size() : 0) +
                         " levels where this run's volume has " +
                         std::to_string(ours["datasets"].size()));
    for (std::size_t level = 0; level < datasets.size(); ++level)
        if (datasets[level] != ours["datasets"][level])
            refuse(path, "its level " + std::to_string(level) + " is " + datasets[level].dump() +
                             " where this run's is " + ours["datasets"][level].dump());
}

}  // namespace

// ------------------------------------------------------------------ layout

plane_size volume_layout::chunk(std::size_t level) const
{
    const plane_size size = levels[level];
    return {std::clamp<std::int64_t>(size.width, 1, volume_chunk_side),
            std::clamp<std::int64_t>(size.height, 1, volume_chunk_side)};
}

volume_layout make_volume_layout(std::string name, std::int64_t slices, plane_size full,
                                 std::optional<voxel_size> voxel)
{
    volume_layout layout;
    layout.name = std::move(name);
    layout.slices = slices;
    layout.levels = pyramid_sizes(full, volume_chunk_side);
    layout.voxel = voxel;
    return layout;
}

std::string group_text() { return text_of({{"zarr_format", 2}}); }

std::string attributes_text(const volume_layout& layout)
{
    return text_of(attributes_json(layout));
}

std::string array_text(const volume_layout& layout, std::size_t level)
{
    return text_of(array_json(layout, level));
}

void prepare_volume(const std::string& path, const volume_layout& layout)
{
    // Everything there is checked before anything is written.
    const std::string group = path + "/.zgroup", attributes = path + "/.zattrs";
    if (platform::status_of(group).exists)
        compare_keys(group, read_json(group), {{"zarr_format", 2}}, {"zarr_format"});
    if (platform::status_of(attributes).exists)
        check_attributes(attributes, layout);
    for (std::size_t level = 0; level < layout.levels.size(); ++level) {
        const std::string array = level_dir(path, level) + "/.zarray";
        if (platform::status_of(array).exists)
            compare_keys(array, read_json(array), array_json(layout, level),
                         {"zarr_format", "shape", "dtype", "chunks", "compressor", "fill_value",
                          "order", "filters", "dimension_separator"});
    }
    // The group's file last: a volume a reader finds has all its arrays.
    // Every process of a run writes the same texts, so their renames may
    // cross. A killed run's temporaries go first: they are never taken for
    // metadata, but they are not the volume's.
    remove_stale_temporaries(path);
    for (std::size_t level = 0; level < layout.levels.size(); ++level) {
        make_level(level_dir(path, level));
        remove_stale_temporaries(level_dir(path, level));
        const std::string array = level_dir(path, level) + "/.zarray";
        if (!platform::status_of(array).exists)
            put_text(array, array_text(layout, level));
    }
    if (!platform::status_of(attributes).exists)
        put_text(attributes, attributes_text(layout));
    if (!platform::status_of(group).exists)
        put_text(group, group_text());
}

namespace {

std::string chunk_row_dir(const std::string& path, std::size_t level, std::int32_t slice_index,
                          std::int64_t chunk_row)
{
    return level_dir(path, level) + "/" + std::to_string(slice_index) + "/" +
           std::to_string(chunk_row);
}

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
    thread_local std::vector<char> compressed;
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
    const plane_size chunk = layout.chunk(level);
    const std::int64_t chunk_rows = (size.height + chunk.height - 1) / chunk.height;
    const std::int64_t chunk_columns = (size.width + chunk.width - 1) / chunk.width;
    std::vector<encoded_chunk> chunks;
    if (chunk_rows == 0 || chunk_columns == 0)
        return chunks;
    make_level(level_dir(path, level) + "/" + std::to_string(slice_index));
    for (std::int64_t row = 0; row < chunk_rows; ++row) {
        make_level(chunk_row_dir(path, level, slice_index, row));
        remove_stale_temporaries(chunk_row_dir(path, level, slice_index, row));
    }
    chunks.resize(static_cast<std::size_t>(chunk_rows * chunk_columns));
    parallel_for(
        chunk_rows * chunk_columns, threads, loop_schedule::one_by_one, [&](std::int64_t k) {
            const std::int64_t row = k / chunk_columns, column = k % chunk_columns;
            encoded_chunk& out = chunks[static_cast<std::size_t>(k)];
            out.path = chunk_row_dir(path, level, slice_index, row) + "/" + std::to_string(column);
            out.bytes = encode_chunk(plane, size, chunk, row, column, out.path);
        });
    return chunks;
}

}  // namespace

void encoded_planes::put_in_place() const
{
    for (const encoded_chunk& chunk : chunks)
        orvane::put_in_place(chunk.path, chunk.bytes.data(), chunk.bytes.size());
}

encoded_planes encode_volume_planes(const std::string& path, const volume_layout& layout,
                                    std::int32_t slice_index, const std::uint16_t* plane,
                                    int threads)
{
    // Each level is made from the one above, in two buffers that keep their
    // memory from one slice to the next.
    thread_local std::vector<std::uint16_t> halves[2];
    encoded_planes planes;
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
    for (std::size_t level = 0; level < layout.levels.size(); ++level) {
        const plane_size chunk = layout.chunk(level);
        const std::int64_t chunk_rows =
            (layout.levels[level].height + chunk.height - 1) / chunk.height;
        for (std::int64_t row = 0; row < chunk_rows; ++row)
            remove_stale_temporaries(chunk_row_dir(path, level, slice_index, row));
    }
}

bool volume_planes_present(const std::string& path, const volume_layout& layout,
                           std::int32_t slice_index)
{
    for (std::size_t level = 0; level < layout.levels.size(); ++level) {
        const plane_size size = layout.levels[level];
        const plane_size chunk = layout.chunk(level);
        const std::int64_t chunk_rows = (size.height + chunk.height - 1) / chunk.height;
        const std::int64_t chunk_columns = (size.width + chunk.width - 1) / chunk.width;
        for (std::int64_t row = 0; row < chunk_rows; ++row)
            for (std::int64_t column = 0; column < chunk_columns; ++column)
                if (!platform::status_of(chunk_row_dir(path, level, slice_index, row) + "/" +
                                         std::to_string(column))
                         .regular)
                    return false;
    }
    return true;
}

}  // namespace orvane
