// Option values and the command-line scan.
#include "run/options.hpp"

#include <cmath>
#include <locale>
#include <sstream>

namespace orvane {

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
        if (arg == "--plan") {
            options.plan = true;
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
    return options;
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
