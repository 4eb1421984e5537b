// libFuzzer target: any bytes as list-file text; names must be non-empty and free of line ends.
#include "base/error.hpp"
#include "io/list_file.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> names;
    try {
        names = orvane::parse_list(text);
    } catch (const orvane::error&) {
        return 0;  // text that is neither UTF-8 nor UTF-16: refused, as it should be
    }
    std::size_t total = 0;
    for (const std::string& name : names) {
        // Every name is a non-empty piece of one line, before any Ctrl-Z.
        if (name.empty() || name.find('\n') != std::string::npos ||
            name.find('\x1a') != std::string::npos)
            std::abort();
        total += name.size();
    }
    // UTF-16 of two bytes a character takes at most three in UTF-8.
    if (total > size * 3 / 2)
        std::abort();
    return 0;
}
