// Reading the list file.
#include "io/list_file.hpp"

#include "base/error.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

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

// The text of a list as it is read, a chunk at a time, refused at the first
// bound it passes.
class list_text {
public:
    explicit list_text(const std::string& path) : path_(path) {}

    const std::string& text() const { return text_; }
    std::string take_text() { return std::move(text_); }

    // Appends one chunk of the file, checking the bounds as it goes. False
    // once a Ctrl-Z has ended the text (of a list in bytes: in UTF-16 its
    // byte is part of many characters, and parse_list ends the text there).
    bool take_chunk(const char* chunk, std::size_t size, bool utf16)
    {
        const void* end_of_text = utf16 ? nullptr : std::memchr(chunk, '\x1a', size);
        const std::size_t take =
            end_of_text ? static_cast<std::size_t>(static_cast<const char*>(end_of_text) - chunk)
                        : size;
        for (std::size_t i = 0; i < take; ++i) {
            if (chunk[i] != '\n') {
                // The CR of a CR LF ending is no part of the name the bound is for.
                if (++line_bytes_ > max_line_bytes &&
                    !(line_bytes_ == max_line_bytes + 1 && chunk[i] == '\r'))
                    refuse(path_, "it has a line longer than " + std::to_string(max_line_bytes) +
                                      " bytes");
                continue;
            }
            line_bytes_ = 0;
            if (++lines_ > max_names)
                refuse(path_, "it has more than " + std::to_string(max_names) + " lines");
        }
        text_.append(chunk, take);
        if (text_.size() > max_list_bytes)
            refuse(path_, "it is longer than " + std::to_string(max_list_bytes) + " bytes");
        return end_of_text == nullptr;
    }

private:
    const std::string& path_;
    std::string text_;
    std::size_t line_bytes_ = 0;  // bytes of the line being read so far
    std::size_t lines_ = 0;       // line ends read so far
};

bool starts_with(const std::string& text, const char* start)
{
    return text.compare(0, std::strlen(start), start) == 0;
}

const char* const utf16_le_mark = "\xFF\xFE";
const char* const utf16_be_mark = "\xFE\xFF";
const char* const encodings = "; the list must be UTF-8 or UTF-16 (with its byte-order mark)";

void append_utf8(std::uint32_t code_point, std::string& out)
{
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

// The UTF-8 of a UTF-16 text after its byte-order mark.
std::string utf8_of_utf16(const std::string& text, bool big_endian, const std::string& path)
{
    std::string out;
    out.reserve(text.size());
    std::size_t line = 1;
    auto unit_at = [&](std::size_t i) {
        const auto first = static_cast<unsigned char>(text[i]);
        const auto second = static_cast<unsigned char>(text[i + 1]);
        return static_cast<std::uint32_t>(big_endian ? first << 8 | second : second << 8 | first);
    };
    auto fail = [&](const std::string& what) {
        throw error(failure_kind::list, path,
                    "line " + std::to_string(line) + " is not valid UTF-16 (" + what + ")" +
                        encodings);
    };
    for (std::size_t i = 2; i < text.size(); i += 2) {
        if (i + 1 == text.size())
            fail("the text ends in half a character");
        std::uint32_t unit = unit_at(i);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < text.size() && unit_at(i + 2) >= 0xDC00 &&
            unit_at(i + 2) < 0xE000) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (unit_at(i + 2) - 0xDC00);
            i += 2;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            fail("a lone surrogate");
        }
        if (unit == '\n')
            ++line;
        append_utf8(unit, out);
    }
    return out;
}

// How many bytes of valid UTF-8 start text at i; 0 when none do.
std::size_t utf8_sequence(const std::string& text, std::size_t i)
{
    const auto byte = [&](std::size_t k) {
        return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
    };
    const unsigned lead = byte(i);
    auto follows = [&](std::size_t k, unsigned low, unsigned high) {
        return byte(k) >= low && byte(k) <= high;
    };
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return follows(i + 1, 0x80, 0xBF) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        // No overlong form (E0 80..9F) and no surrogate (ED A0..BF).
        const unsigned low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
        return follows(i + 1, low, high) && follows(i + 2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        // Nothing overlong (F0 80..8F) and nothing past U+10FFFF (F4 90..).
        const unsigned low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
        return follows(i + 1, low, high) && follows(i + 2, 0x80, 0xBF) && follows(i + 3, 0x80, 0xBF)
                   ? 4
                   : 0;
    }
    return 0;
}

// A name in another encoding (a list saved in the ANSI code page) names no
// file on Windows and a different one elsewhere.
void check_utf8(const std::string& name, std::size_t line, const std::string& path)
{
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t length = utf8_sequence(name, i);
        if (length == 0) {
            char shown[8];
            std::snprintf(shown, sizeof shown, "0x%02X", static_cast<unsigned char>(name[i]));
            throw error(failure_kind::list, path,
                        "the name on line " + std::to_string(line) + " is not valid UTF-8 (byte " +
                            shown + " at byte " + std::to_string(i + 1) + ")" + encodings);
        }
        i += length;
    }
}

}  // namespace

std::vector<std::string> read_list(std::string path)
{
    if (platform::status_of(path).directory)
        return {};  // opens, but reading it fails
    const int fd = platform::open_sequential(path);
    if (fd < 0) {
        if (platform::is_missing(errno))
            return {};
        throw error(failure_kind::list, path, "cannot open it: " + platform::error_text(errno));
    }
    // Read a chunk at a time, so that a list from a pipe works and one that
    // never ends is refused at a bound.
    list_text text(path);
    std::vector<char> chunk(std::size_t{1} << 16);
    std::int64_t got = 0;
    try {
        while ((got = platform::read_next(fd, chunk.data(), chunk.size())) > 0) {
            const std::string start =
                text.text().substr(0, 2) + std::string(chunk.data(), std::min<std::size_t>(got, 2));
            const bool utf16 =
                starts_with(start, utf16_le_mark) || starts_with(start, utf16_be_mark);
            if (!text.take_chunk(chunk.data(), static_cast<std::size_t>(got), utf16))
                break;
        }
    } catch (...) {
        platform::close_file(fd);
        throw;
    }
    const int read_error = errno;
    platform::close_file(fd);
    if (got < 0)
        throw error(failure_kind::list, path,
                    "cannot read it: " + platform::error_text(read_error));
    return parse_list(text.take_text(), path);
}

std::vector<std::string> parse_list(std::string text, const std::string& path)
{
    std::vector<std::string> names;
    // Windows editors start a UTF-8 file with a byte-order mark; it is no
    // part of the first name. PowerShell writes UTF-16 (dir -Name > list.txt).
    if (starts_with(text, "\xEF\xBB\xBF"))
        text.erase(0, 3);
    else if (starts_with(text, utf16_le_mark) || starts_with(text, utf16_be_mark))
        text = utf8_of_utf16(text, text[0] == '\xFE', path);
    const std::size_t end_of_text = text.find('\x1a');
    if (end_of_text != std::string::npos)
        text.resize(end_of_text);

    std::size_t start = 0, line = 0;
    while (start < text.size()) {
        ++line;
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos)
            end = text.size();
        else if (end > start && text[end - 1] == '\r')
            --end;  // a CR belongs to the line ending only right before the LF
        if (end > start) {
            names.emplace_back(text, start, end - start);
            check_utf8(names.back(), line, path);
        }
        start = next;
    }
    return names;
}

}  // namespace orvane
