// Reading orvane-align's command line.
#include "align/align_options.hpp"

#include "base/error.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>
#include <utility>

namespace orvane::align {

namespace {

// Optional sign and decimal digits, the whole text, within 32 bits.
bool parse_number(const std::string& text, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= INT_MIN && value <= INT_MAX &&
           text.find_first_of(" \t\n") == std::string::npos;
}

[[noreturn]] void misuse(std::string why) { throw error(failure_kind::usage, "", std::move(why)); }

// -k at argv[i]: every following argument that is a list of slice numbers.
void parse_slices(int argc, const char* const* argv, int& i, align_options& options)
{
    bool any = false;
    long n = 0;
    while (i + 1 < argc && argv[i + 1][0] >= '0' && argv[i + 1][0] <= '9') {
        std::stringstream items(argv[++i]);
        for (std::string item; std::getline(items, item, ',');) {
            if (!parse_number(item, n) || n < 0)
                misuse("-k takes slice numbers, not '" + std::string(argv[i]) + "'");
            // A slice given twice would vote twice.
            const auto k = static_cast<std::int32_t>(n);
            if (std::find(options.slices.begin(), options.slices.end(), k) == options.slices.end())
                options.slices.push_back(k);
            any = true;
        }
    }
    if (!any)
        misuse("-k needs at least one slice number");
}

// The options that only make sense together.
void check_together(const align_options& options)
{
    if (options.list_path.empty())
        misuse("no list file: -i is required");
    if (options.xoverlap.has_value() != options.yoffset.has_value())
        misuse("-x and -y go together");
    if (options.xoverlap && options.preview_path.empty())
        misuse("-x and -y are for --preview");
}

}  // namespace

align_options parse_align_options(int argc, const char* const* argv)
{
    align_options options;
    auto value = [&](int& i, const std::string& flag) {
        if (i + 1 >= argc)
            misuse(flag + " needs a value");
        return std::string(argv[++i]);
    };
    auto number = [&](int& i, const std::string& flag, long minimum) {
        const std::string text = value(i, flag);
        long n = 0;
        if (!parse_number(text, n) || n < minimum)
            misuse(flag + " takes a whole number of at least " + std::to_string(minimum) +
                   ", not '" + text + "'");
        return n;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "-i") {
            options.list_path = value(i, arg);
        } else if (arg == "-s") {
            options.splitnumber = static_cast<std::int32_t>(number(i, arg, 1));
            options.splitnumber_text = argv[i];
        } else if (arg == "-k") {
            parse_slices(argc, argv, i, options);
        } else if (arg == "--max-overlap" || arg == "--max-shift") {
            const long n = number(i, arg, arg == "--max-overlap" ? 1 : 0);
            (arg == "--max-overlap" ? options.max_overlap : options.max_shift) =
                static_cast<int>(n);
        } else if (arg == "--preview") {
            options.preview_path = value(i, arg);
        } else if (arg == "--flat-field") {
            options.flat_field = value(i, arg);
            if (options.flat_field.empty())
                misuse("--flat-field takes auto or a flat field file, not ''");
        } else if (arg == "-x" || arg == "-y") {
            const long n = number(i, arg, INT_MIN);
            (arg == "-x" ? options.xoverlap : options.yoffset) = static_cast<std::int32_t>(n);
        } else {
            misuse("unknown argument '" + arg + "'");
        }
    }
    if (!options.help && !options.version)
        check_together(options);
    return options;
}

std::vector<std::int32_t> spread_slices(std::int32_t slice_count)
{
    constexpr std::int32_t wanted = 8;
    std::vector<std::int32_t> slices;
    const std::int32_t count = std::min(wanted, slice_count);
    for (std::int32_t i = 0; i < count; ++i)
        slices.push_back(static_cast<std::int32_t>((2 * std::int64_t{i} + 1) * slice_count /
                                                   (2 * std::int64_t{count})));
    return slices;
}

}  // namespace orvane::align
