// Reading a small text file whole, and the nesting depth of JSON text, counted before parsing.
#include "io/json_text.hpp"

#include "base/error.hpp"
#include "platform/platform.hpp"

#include <cerrno>

namespace orvane {

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

bool nests_deeper_than(const std::string& text, std::size_t limit)
{
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

}  // namespace orvane
