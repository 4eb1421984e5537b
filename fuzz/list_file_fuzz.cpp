// libFuzzer target: any bytes as list-file text; names must be non-empty and free of line ends.
#include "run/list_file.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t total = 0;
    for (const std::string& name : orvane::parse_list(text)) {
        // Every name is a non-empty piece of one line, before any Ctrl-Z.
        if (name.empty() || name.find('\n') != std::string::npos ||
            name.find('\x1a') != std::string::npos)
            std::abort();
        total += name.size();
    }
    if (total > size)
        std::abort();
    return 0;
}
