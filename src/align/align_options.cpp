// Reading orvane-align's command line.
#include "align/align_options.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

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

// -k at argv[i]: every following argument that is a list of slice numbers.
bool parse_slices(int argc, const char* const* argv, int& i, align_options& options,
                  std::string& error)
{
    bool any = false;
    long n = 0;
    while (i + 1 < argc && argv[i + 1][0] >= '0' && argv[i + 1][0] <= '9') {
        std::stringstream items(argv[++i]);
        for (std::string item; std::getline(items, item, ',');) {
            if (!parse_number(item, n) || n < 0) {
                error = "-k takes slice numbers, not '" + std::string(argv[i]) + "'";
                return false;
            }
            // A slice given twice would vote twice.
            const auto k = static_cast<std::int32_t>(n);
            if (std::find(options.slices.begin(), options.slices.end(), k) == options.slices.end())
                options.slices.push_back(k);
            any = true;
        }
    }
    if (!any)
        error = "-k needs at least one slice number";
    return any;
}

// The options that only make sense together.
bool check_together(const align_options& options, std::string& error)
{
    if (options.list_path.empty())
        error = "no list file: -i is required";
    else if (options.xoverlap.has_value() != options.yoffset.has_value())
        error = "-x and -y go together";
    else if (options.xoverlap && options.preview_path.empty())
        error = "-x and -y are for --preview";
    return error.empty();
}

}  // namespace

bool parse_align_options(int argc, const char* const* argv, align_options& options,
                         std::string& error)
{
    auto value = [&](int& i, const std::string& flag, std::string& into) {
        if (i + 1 >= argc) {
            error = flag + " needs a value";
            return false;
        }
        into = argv[++i];
        return true;
    };
    auto number = [&](int& i, const std::string& flag, long minimum, long& into) {
        std::string text;
        if (!value(i, flag, text))
            return false;
        if (!parse_number(text, into) || into < minimum) {
            error = flag + " takes a whole number of at least " + std::to_string(minimum) +
                    ", not '" + text + "'";
            return false;
        }
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        long n = 0;
        std::string text;
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "-i") {
            if (!value(i, arg, options.list_path))
                return false;
        } else if (arg == "-s") {
            if (!number(i, arg, 1, n))
                return false;
            options.splitnumber = static_cast<std::int32_t>(n);
            options.splitnumber_text = argv[i];
        } else if (arg == "-k") {
            if (!parse_slices(argc, argv, i, options, error))
                return false;
        } else if (arg == "--max-overlap" || arg == "--max-shift") {
            if (!number(i, arg, arg == "--max-overlap" ? 1 : 0, n))
                return false;
            auto& limit = arg == "--max-overlap" ? options.max_overlap : options.max_shift;
            limit = static_cast<int>(n);
        } else if (arg == "--preview") {
            if (!value(i, arg, options.preview_path))
                return false;
        } else if (arg == "-x" || arg == "-y") {
            if (!number(i, arg, INT_MIN, n))
                return false;
            (arg == "-x" ? options.xoverlap : options.yoffset) = static_cast<std::int32_t>(n);
        } else {
            error = "unknown argument '" + arg + "'";
            return false;
        }
    }
    return options.help || options.version || check_together(options, error);
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
