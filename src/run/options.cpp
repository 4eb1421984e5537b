// Option values and the command-line scan.
#include "run/options.hpp"

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

}  // namespace orvane
