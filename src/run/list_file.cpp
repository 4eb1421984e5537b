// Reading the list file.
#include "run/list_file.hpp"

#include "base/error.hpp"
#include "platform/platform.hpp"

#include <cstring>

namespace orvane {

namespace {

// Far beyond any real list: a name longer than any path a system allows,
// or more text or names than an acquisition of petabytes would need. A
// "list" past them (a device that never ends, a file that is no list) is
// refused before it fills the memory.
constexpr std::size_t max_line_bytes = std::size_t{1} << 16;
constexpr std::size_t max_list_bytes = std::size_t{1} << 30;
constexpr std::size_t max_names = std::size_t{1} << 23;

[[noreturn]] void refuse(const std::string& path, const std::string& why)
{
    throw error(failure_kind::list, path, why + "; it is not a list of tile names");
}

// Appends one chunk of the file to text, checking the bounds as it goes.
// False once a Ctrl-Z has ended the text.
bool take_chunk(const std::string& path, const char* chunk, std::size_t size, std::string& text,
                std::size_t& line_bytes, std::size_t& lines)
{
    const void* end_of_text = std::memchr(chunk, '\x1a', size);
    const std::size_t take =
        end_of_text ? static_cast<std::size_t>(static_cast<const char*>(end_of_text) - chunk)
                    : size;
    for (std::size_t i = 0; i < take; ++i) {
        if (chunk[i] != '\n') {
            // The CR of a CR LF ending is no part of the name the bound is for.
            if (++line_bytes > max_line_bytes &&
                !(line_bytes == max_line_bytes + 1 && chunk[i] == '\r'))
                refuse(path,
                       "it has a line longer than " + std::to_string(max_line_bytes) + " bytes");
            continue;
        }
        line_bytes = 0;
        if (++lines > max_names)
            refuse(path, "it has more than " + std::to_string(max_names) + " lines");
    }
    text.append(chunk, take);
    if (text.size() > max_list_bytes)
        refuse(path, "it is longer than " + std::to_string(max_list_bytes) + " bytes");
    return end_of_text == nullptr;
}

}  // namespace

std::vector<std::string> read_list(std::string path)
{
    if (platform::status_of(path).directory)
        return {};  // opens, but reading it fails
    const int fd = platform::open_sequential(path);
    if (fd < 0)
        return {};
    // Read a chunk at a time, so that a list from a pipe works and one that
    // never ends is refused at a bound.
    std::string text;
    std::vector<char> chunk(std::size_t{1} << 16);
    std::size_t line_bytes = 0, lines = 0;
    std::int64_t got = 0;
    try {
        while ((got = platform::read_next(fd, chunk.data(), chunk.size())) > 0)
            if (!take_chunk(path, chunk.data(), static_cast<std::size_t>(got), text, line_bytes,
                            lines))
                break;
    } catch (...) {
        platform::close_file(fd);
        throw;
    }
    platform::close_file(fd);
    if (got < 0)
        return {};  // unreadable counts as missing
    return parse_list(std::move(text));
}

std::vector<std::string> parse_list(std::string text)
{
    std::vector<std::string> names;
    // Windows editors start a UTF-8 file with a byte-order mark; it is no
    // part of the first name.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    const std::size_t end_of_text = text.find('\x1a');
    if (end_of_text != std::string::npos)
        text.resize(end_of_text);

    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos)
            end = text.size();
        else if (end > start && text[end - 1] == '\r')
            --end;  // a CR belongs to the line ending only right before the LF
        if (end > start)
            names.emplace_back(text, start, end - start);
        start = next;
    }
    return names;
}

}  // namespace orvane
