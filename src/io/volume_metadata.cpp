// The volume's metadata, written with the JSON library, and the check of what is at a volume's
// path, read back with it.
#include "io/volume_metadata.hpp"

#include "base/error.hpp"
#include "base/warnings.hpp"
#include "io/blosc_chunk.hpp"
#include "io/json_text.hpp"
#include "io/output_file.hpp"
#include "platform/platform.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <vector>

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

// Level l's scale (Z 2^kz, Y 2^l, X 2^l), kz the halvings of z down to it,
// and, from level 1, the translation that puts its voxel centres on those of
// the voxels it covers: a voxel of level l covers 2^l pixels of level 0 in y
// and x, whose centres lie (2^l - 1) / 2 of them past its first, and 2^kz
// planes in z. Without a voxel size the unit is a pixel.
json dataset_json(const volume_layout& layout, std::size_t level)
{
    const voxel_size voxel = layout.voxel.value_or(voxel_size{1, 1, 1});
    const double factor = level_factor(level);
    const double z_factor = level_factor(static_cast<std::size_t>(layout.z_halvings[level]));
    json transforms = json::array();
    transforms.push_back(
        {{"type", "scale"}, {"scale", {voxel.z * z_factor, voxel.y * factor, voxel.x * factor}}});
    if (level > 0) {
        const double offset = (factor - 1) / 2;
        transforms.push_back(
            {{"type", "translation"},
             {"translation", {(z_factor - 1) / 2 * voxel.z, offset * voxel.y, offset * voxel.x}}});
    }
    return {{"path", std::to_string(level)}, {"coordinateTransformations", transforms}};
}

// The program's own key: the slice count and what decides where pixels
// land. With the multiscale it fixes every other metadata file, so a run
// whose attributes equal these writes the same arrays.
constexpr const char* own_key = "orvane";
const std::vector<const char*> geometry_keys = {"splitnumber", "xoverlap",    "yoffset",
                                                "tile_width",  "tile_height", "slices"};

// The seam corrections, under their own key beside the geometry; a volume
// made without them records none, as before they existed.
constexpr const char* seams_key = "seams";

json seams_json(const volume_layout& layout)
{
    return layout.seams.empty() ? json() : json::parse(layout.seams);
}

// Volumes whose levels halve z where the voxels allow say so under this
// key; volumes written before, in the planar form, have none.
constexpr const char* pyramid_key = "pyramid";
constexpr const char* volumetric_name = "volumetric";

json geometry_json(const volume_layout& layout)
{
    const volume_geometry& geometry = layout.geometry;
    json own = {{"splitnumber", geometry.splitnumber}, {"xoverlap", geometry.xoverlap},
                {"yoffset", geometry.yoffset},         {"tile_width", geometry.tile_width},
                {"tile_height", geometry.tile_height}, {"slices", layout.slices}};
    if (!layout.seams.empty())
        own[seams_key] = seams_json(layout);
    if (layout.form == pyramid_form::volumetric)
        own[pyramid_key] = volumetric_name;
    return own;
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
           layout.form == pyramid_form::planar
               ? "each level halves the one above in y and x; each pixel is the mean of "
                 "the 2 x 2 pixels it covers (fewer at the far edges), rounded to nearest"
               : "each level halves the one above in y and x, and in z where the level's "
                 "slice spacing is under twice its pixel width; each voxel is the mean of "
                 "the 2 x 2 or 2 x 2 x 2 voxels it covers (fewer at the far edges), rounded "
                 "to nearest with halves up"},
          {"method", "orvane"}}},
        {"axes", axes_json(layout)},
        {"datasets", datasets}};
    return {{"multiscales", json::array({multiscale})}, {own_key, geometry_json(layout)}};
}

json array_json(const volume_layout& layout, std::size_t level)
{
    const plane_size size = layout.levels[level];
    const plane_size chunk = layout.chunk(level);
    return {{"zarr_format", 2},
            {"shape", {layout.depths[level], size.height, size.width}},
            {"chunks", {layout.chunk_depths[level], chunk.height, chunk.width}},
            {"dtype", "<u2"},
            {"compressor", compressor_json()},
            {"fill_value", 0},
            {"order", "C"},
            {"filters", nullptr},
            {"dimension_separator", "/"}};
}

std::string text_of(const json& value) { return value.dump(4) + "\n"; }

// ------------------------------------------------------------- reading back

[[noreturn]] void refuse(const std::string& path, const std::string& difference)
{
    throw error(failure_kind::volume, path, difference);
}

bool exists(const std::string& path) { return platform::status_of(path).exists; }

// Our metadata nests 7 deep. Parsing is iterative, but copying, comparing
// and printing a value recurse as deep as it nests: a text nested deeper is
// refused before it is parsed.
constexpr std::size_t max_nesting = 100;

json read_json(const std::string& path)
{
    const std::string text = read_text(path);
    if (nests_deeper_than(text, max_nesting))
        refuse(path, "it nests deeper than " + std::to_string(max_nesting) +
                         " levels, as no metadata of this program's does");
    json value = json::parse(text, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        refuse(path, "it is no JSON object");
    return value;
}

// A value as JSON text, cut short: a refused file's value may be of any
// size, and the message goes whole to the terminal. Ours are all shorter.
std::string excerpt(const json& value)
{
    constexpr std::size_t shown = 200;
    const std::string text = value.dump();
    if (text.size() <= shown)
        return text;
    std::size_t cut = shown;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;  // not inside a UTF-8 character
    return text.substr(0, cut) + "... (" + std::to_string(text.size()) + " characters)";
}

// Refuses the file at path when one of the keys differs between what is
// there and what this run writes.
void compare_keys(const std::string& path, const json& there, const json& ours,
                  const std::vector<const char*>& keys, const std::string& prefix = "")
{
    for (const char* key : keys) {
        const json& theirs = there.contains(key) ? there.at(key) : json();
        if (theirs != ours.at(key))
            refuse(path, "its " + prefix + key + " is " + excerpt(theirs) +
                             " where this run's is " + excerpt(ours.at(key)));
    }
}

const std::vector<const char*> array_keys = {"zarr_format", "shape",      "dtype",
                                             "chunks",      "compressor", "fill_value",
                                             "order",       "filters",    "dimension_separator"};

// The multiscale: this program's, with this run's axes, levels and scales.
void check_multiscale(const std::string& path, const json& there, const volume_layout& layout)
{
    const json ours = attributes_json(layout)["multiscales"][0];
    if (!there.contains("multiscales") || !there["multiscales"].is_array() ||
        there["multiscales"].empty() || !there["multiscales"][0].is_object())
        refuse(path, "it holds no multiscale");
    const json& theirs = there["multiscales"][0];
    const json* metadata = theirs.contains("metadata") ? &theirs["metadata"] : nullptr;
    if (!metadata || !metadata->is_object() || metadata->value("method", json()) != "orvane")
        refuse(path, "its multiscale was written by another program (its metadata is " +
                         excerpt(metadata ? *metadata : json()) + ")");
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
            refuse(path, "its level " + std::to_string(level) + " is " + excerpt(datasets[level]) +
                             " where this run's is " + excerpt(ours["datasets"][level]));
}

// The geometry under the program's own key. Volumes made before it was
// written have none: their slices' geometry cannot be told, and adding this
// run's would vouch for slices it did not make.
void check_geometry(const std::string& path, const json& there, const volume_layout& layout)
{
    if (!there.contains(own_key)) {
        warn_once("geometry:" + path,
                  "'" + path +
                      "' records no geometry (-s, -x, -y, tile size), as volumes made by "
                      "earlier versions do not: the slices there are taken to have this run's");
        return;
    }
    const json& theirs = there[own_key];
    if (!theirs.is_object())
        refuse(path, std::string("its ") + own_key + " is " + excerpt(theirs));
    std::vector<const char*> keys = geometry_keys;
    if (layout.form == pyramid_form::volumetric)
        keys.push_back(pyramid_key);
    compare_keys(path, theirs, geometry_json(layout), keys, std::string(own_key) + ".");
    const json none;
    const json& their_seams = theirs.contains(seams_key) ? theirs[seams_key] : none;
    if (their_seams != seams_json(layout))
        refuse(path, std::string("its slices were made with the seam corrections ") +
                         excerpt(their_seams) + " (" + own_key + "." + seams_key +
                         ") where this run's are " + excerpt(seams_json(layout)));
}

// What only another program's data at the path has. A directory without
// attributes is a volume a killed run began, or nothing yet: it holds level
// directories and temporaries at most.
void refuse_foreign(const std::string& path)
{
    if (exists(path + "/.zarray"))
        refuse(path + "/.zarray", "a Zarr array is there, not a volume this program writes");
    if (exists(path + "/zarr.json"))
        refuse(path + "/zarr.json", "Zarr v3 metadata is there; this program writes Zarr v2");
    if (exists(path + "/.zattrs"))
        return;
    if (exists(path + "/.zgroup"))
        refuse(path + "/.zgroup", "a Zarr group without attributes is there, which this "
                                  "program never leaves");
    for (const std::string& name : platform::directory_entries(path))
        // The metadata files too: another run of an array may have put
        // them in place since they were looked for above.
        if (name.find_first_not_of("0123456789") != std::string::npos && !is_temporary_name(name) &&
            name != volume_staging_name && name != ".zattrs" && name != ".zgroup")
            refuse(path, "it holds '" + name + "', which no volume of this program's holds");
}

}  // namespace

pyramid_form pyramid_form_at(const std::string& path)
{
    const std::string attributes = path + "/.zattrs";
    if (!platform::status_of(attributes).regular)
        return pyramid_form::volumetric;
    json there;
    try {
        there = read_json(attributes);
    } catch (const std::exception&) {
        return pyramid_form::volumetric;  // the check names what is wrong with it
    }
    const json* own = there.contains(own_key) ? &there[own_key] : nullptr;
    const bool volumetric = own && own->is_object() && own->contains(pyramid_key) &&
                            (*own)[pyramid_key] == volumetric_name;
    return volumetric ? pyramid_form::volumetric : pyramid_form::planar;
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

void check_volume(const std::string& path, const volume_layout& layout)
{
    const platform::file_status there = platform::status_of(path);
    if (!there.exists)
        return;
    if (!there.directory)
        refuse(path, "it is no directory");
    refuse_foreign(path);
    const std::string group = path + "/.zgroup", attributes = path + "/.zattrs";
    if (exists(group))
        compare_keys(group, read_json(group), json{{"zarr_format", 2}}, {"zarr_format"});
    json attributes_there;
    if (exists(attributes)) {
        attributes_there = read_json(attributes);
        check_multiscale(attributes, attributes_there, layout);
    }
    for (std::size_t level = 0; level < layout.levels.size(); ++level) {
        const std::string array = volume_level_dir(path, level) + "/.zarray";
        if (exists(array))
            compare_keys(array, read_json(array), array_json(layout, level), array_keys);
    }
    // Last, so that a volume of another shape is named by its arrays, as
    // before the geometry was recorded.
    if (attributes_there.is_object())
        check_geometry(attributes, attributes_there, layout);
}

}  // namespace orvane
