// Reading the list file.
#include "run/list_file.hpp"

#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace orvane {

std::vector<std::string> read_list(std::string path)
{
    std::vector<std::string> names;
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return names;  // opens, but reading it fails
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return names;
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return names;  // unreadable counts as missing
    }
    return parse_list(std::move(text));
}

std::vector<std::string> parse_list(std::string text)
{
    std::vector<std::string> names;
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
