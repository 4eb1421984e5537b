// Option values and the command-line scan.
#include "run/options.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <locale>
#include <sstream>

namespace orvane {

const char* const help_text =
    "Usage: orvane -i list.txt -s splitnumber -x xoverlap -y yoffset -d downsample -o outputdir\n"
    "              [-j singlenum] [--ome-zarr PATH [--voxel-size X,Y,Z]] [--plan]\n"
    "              [--seamless] [--flat-field auto|FILE] [--match-gain] [--register PX]\n"
    "              [--blend PX]\n"
    "Stitches a tiled z-stack into one mosaic TIFF per depth slice, in outputdir/stack1/,\n"
    "with a copy reduced by -d in outputdir/stack<d>/. Slices are made in parallel; a\n"
    "slice whose full-resolution file exists is left alone, so a rerun makes only what\n"
    "is missing.\n"
    "\n"
    "  -i list.txt         the list file: one tile name per line, tile column after column\n"
    "  -o outputdir        where stack1/ and stack<d>/ are made (required; -o . for here)\n"
    "  -s splitnumber      the number of tile columns in the list (default 4)\n"
    "  -x xoverlap         pixel columns trimmed from each side of every tile (default 0;\n"
    "                      negative: zero margins added)\n"
    "  -y yoffset          rows of downward shift added per tile column (default 0;\n"
    "                      negative: upward)\n"
    "  -d downsample       reduction factor of the reduced copy; 1 or less makes none\n"
    "                      (default 1)\n"
    "  -j singlenum        the only slice index to make; negative: every slice (default -1)\n"
    "  --ome-zarr PATH     also write the stack as a multiscale OME-Zarr volume at PATH\n"
    "  --voxel-size X,Y,Z  pixel width, pixel height and slice spacing in micrometres,\n"
    "                      for the volume and every TIFF\n"
    "  --plan              print each slice's state and output paths; make nothing\n"
    "  --flat-field auto|FILE  correct every tile as (I - D) / S by the flat field S and\n"
    "                      dark field D: auto estimates them from the tiles into\n"
    "                      outputdir/flatfield.tif (or reads it from there); FILE is such\n"
    "                      a file (32-bit float, tile-sized, page 1 S, page 2 D)\n"
    "  --match-gain        match each tile column's brightness to its neighbours' over\n"
    "                      their overlap, per slice, keeping the mosaic's mean\n"
    "  --register PX       move each tile column to where it matches its left neighbour,\n"
    "                      per slice, within PX pixels of the -x/-y place (0: off)\n"
    "  --blend PX          blend PX pixels across each seam (at most 2 * xoverlap; 0: off)\n"
    "  --seamless          all four: --flat-field auto --match-gain --register 8\n"
    "                      --blend 2*xoverlap; an option given beside it keeps its value.\n"
    "                      With any of them, outputdir/seams.csv and seams.svg show what\n"
    "                      each seam was given, and outputdir/seams.json records them\n"
    "  --help              print this help and exit\n"
    "  --version           print the version and exit\n"
    "\n"
    "Each option takes the next argument as its value, whatever it looks like; unknown\n"
    "arguments are ignored. Threads: one per logical processor, or OMP_NUM_THREADS.\n"
    "Exit status: 0 every selected slice is done (also for an empty or missing list),\n"
    "1 option values that cannot make a run, 2 an image could not be read or written,\n"
    "or the list file is no list. orvane-align finds -x and -y from the tiles.\n";

std::int32_t parse_int(const std::string& text)
{
    std::istringstream stream(text);
    std::int32_t value = 0;
    stream >> value;
    return value;
}

run_options parse_options(int argc, const char* const* argv)
{
    run_options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--plan" || arg == "--help" || arg == "--version" || arg == "--match-gain" ||
            arg == "--seamless") {
            (arg == "--plan"         ? options.plan
             : arg == "--help"       ? options.help
             : arg == "--version"    ? options.version
             : arg == "--match-gain" ? options.match_gain
                                     : options.seamless) = true;
            continue;
        }
        if ((arg == "--flat-field" || arg == "--register" || arg == "--blend") && i + 1 < argc) {
            options.flat_field_given = options.flat_field_given || arg == "--flat-field";
            (arg == "--flat-field" ? options.flat_field
             : arg == "--register" ? options.register_px
                                   : options.blend_px) = argv[++i];
            continue;
        }
        if ((arg == "--ome-zarr" || arg == "--voxel-size") && i + 1 < argc) {
            options.ome_zarr_given = options.ome_zarr_given || arg == "--ome-zarr";
            (arg == "--ome-zarr" ? options.ome_zarr : options.voxel_size) = argv[++i];
            continue;
        }
        if (arg.size() != 2 || arg[0] != '-' || i + 1 >= argc)
            continue;
        const std::string value = argv[i + 1];
        switch (arg[1]) {
        case 'i': options.list_path = value; break;
        case 'o': options.outputdir = value; break;
        case 's': options.splitnumber = parse_int(value); break;
        case 'x': options.xoverlap = parse_int(value); break;
        case 'y': options.yoffset = parse_int(value); break;
        case 'd': options.downsample = parse_int(value); break;
        case 'j': options.singlenum = parse_int(value); break;
        default: continue;
        }
        ++i;  // the value is never looked at as an option
    }
    options.voxel = parse_voxel_size(options.voxel_size);
    return options;
}

std::optional<std::int32_t> parse_pixels(const std::string& text)
{
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const long long value = std::stoll(text);
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

seam_request seam_request_of(const run_options& options)
{
    seam_request request;
    request.flat_field = options.flat_field_given ? options.flat_field
                         : options.seamless       ? "auto"
                                                  : "";
    request.match_gain = options.match_gain || options.seamless;
    const auto pixels = [](const std::string& text, std::int32_t otherwise) {
        return text.empty() ? otherwise : parse_pixels(text).value_or(0);
    };
    request.register_px = pixels(options.register_px, options.seamless ? seamless_register_px : 0);
    // The full overlap: 2 * xoverlap columns both tiles show.
    const std::int64_t overlap = std::max<std::int64_t>(0, 2 * std::int64_t{options.xoverlap});
    request.blend_px = pixels(
        options.blend_px, options.seamless ? static_cast<std::int32_t>(std::min<std::int64_t>(
                                                 overlap, std::numeric_limits<std::int32_t>::max()))
                                           : 0);
    return request;
}

std::optional<voxel_size> parse_voxel_size(const std::string& text)
{
    // Decimal points whatever the user's locale, as scripts write them.
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    double values[3] = {};
    for (int k = 0; k < 3; ++k) {
        char comma = 0;
        if ((k > 0 && !(stream >> comma && comma == ',')) || !(stream >> values[k]) ||
            !std::isfinite(values[k]) || values[k] <= 0)
            return std::nullopt;
    }
    if (stream.peek() != std::char_traits<char>::eof())
        return std::nullopt;
    return voxel_size{values[0], values[1], values[2]};
}

}  // namespace orvane
