// The header of each format read as the image library reads it, and the bytes its pixels need.
#include "io/payload_check.hpp"

#include "platform/platform.hpp"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

namespace orvane {

namespace {

// A header never needs more; a longer one is left to the library.
constexpr std::size_t header_bytes = 64 * 1024;

struct file_text {
    std::string bytes;       // the first header_bytes of the file, or all of it
    std::uint64_t size = 0;  // the whole file's
};

bool read_file(const std::string& name, std::size_t limit, file_text& into)
{
    const int fd = platform::open_for_reading(name);
    if (fd < 0)
        return false;
    into.size = platform::status_of_open(fd).size;
    into.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(into.size, limit)));
    std::size_t got = 0;
    while (got < into.bytes.size()) {
        const std::int64_t n =
            platform::read_at(fd, &into.bytes[got], into.bytes.size() - got, got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    into.bytes.resize(got);
    platform::close_file(fd);
    return true;
}

// The library's header reading: the next line that is neither empty nor a
// comment (after blanks, where it skips them first), leaving `at` on its end
// of line. Empty at the end of the text.
std::string next_line(const std::string& text, std::size_t& at, bool skip_blanks)
{
    for (;;) {
        if (skip_blanks)
            while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
                ++at;
        if (at >= text.size())
            return {};
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end;
        if (!line.empty() && line[0] != '#')
            return line;
        ++at;  // the end of line of a comment or an empty line
    }
}

// How many whitespace-separated integers follow `at`, counting up to `wanted`.
std::uint64_t integers_after(const std::string& text, std::size_t at, std::uint64_t wanted)
{
    std::uint64_t count = 0;
    while (count < wanted) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-'))
            ++at;
        if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at])))
            break;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])))
            ++at;
        ++count;
    }
    return count;
}

std::string short_by(std::uint64_t has, std::uint64_t needs, const char* unit)
{
    return "it holds " + std::to_string(has) + " of the " + std::to_string(needs) + " " + unit +
           " its header gives (it is truncated)";
}

std::string check_pnm(const std::string& name, const file_text& head)
{
    std::size_t at = 0;
    unsigned type = 0, w = 0, h = 0, d = 1, colormax = 255;
    if (std::sscanf(next_line(head.bytes, at, false).c_str(), " P%u", &type) != 1)
        return {};
    const int fields =
        std::sscanf(next_line(head.bytes, at, true).c_str(), " %u %u %u %u", &w, &h, &d, &colormax);
    if (fields < 2)
        return {};
    if (type != 1 && type != 4) {
        if (fields == 2 || (fields == 3 && (type == 5 || type == 7 || type == 8 || type == 9))) {
            if (std::sscanf(next_line(head.bytes, at, true).c_str(), "%u", &colormax) != 1)
                return {};
        } else {
            colormax = d;
            d = 1;
        }
    }
    ++at;  // the end of the last header line
    if (at > head.bytes.size() || at >= header_bytes)
        return {};
    const std::uint64_t pixels = std::uint64_t{w} * h;
    const std::uint64_t sample = colormax < 256 ? 1 : 2;
    std::uint64_t needs = 0;
    switch (type) {
    case 1:
    case 2:
    case 3: {
        const std::uint64_t values = pixels * (type == 3 ? 3 : 1);
        file_text all;
        if (!read_file(name, static_cast<std::size_t>(head.size), all))
            return {};
        const std::uint64_t has = integers_after(all.bytes, at, values);
        return has < values ? short_by(has, values, "values") : std::string();
    }
    case 4: needs = (std::uint64_t{w} + 7) / 8 * h * d; break;
    case 5:
    case 7: needs = pixels * d * sample; break;
    case 6: needs = pixels * 3 * sample; break;
    case 8:
    case 9: needs = pixels * d * 4; break;
    default: return {};
    }
    const std::uint64_t has = head.size - at;
    return has < needs ? short_by(has, needs, "bytes of pixels") : std::string();
}

std::string check_pfm(const file_text& head)
{
    std::size_t at = 0;
    char kind = 0;
    int w = 0, h = 0;
    double scale = 0;
    if (std::sscanf(next_line(head.bytes, at, false).c_str(), " P%c", &kind) != 1)
        return {};
    const int fields = std::sscanf(next_line(head.bytes, at, true).c_str(), " %d %d", &w, &h);
    if (fields < 2 || w <= 0 || h <= 0)
        return {};
    if (std::sscanf(next_line(head.bytes, at, true).c_str(), "%lf", &scale) != 1)
        return {};
    ++at;
    if (at > head.bytes.size())
        return {};
    const std::uint64_t needs = std::uint64_t(w) * std::uint64_t(h) * (kind == 'F' ? 3 : 1) * 4;
    const std::uint64_t has = head.size - at;
    return has < needs ? short_by(has, needs, "bytes of pixels") : std::string();
}

std::int64_t little_endian(const std::string& bytes, std::size_t at, int count)
{
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return count == 4 ? static_cast<std::int32_t>(value) : static_cast<std::int64_t>(value);
}

std::string check_bmp(const file_text& head)
{
    if (head.bytes.size() < 54)
        return {};
    const std::int64_t offset = little_endian(head.bytes, 0x0A, 4);
    const std::int64_t header_size = little_endian(head.bytes, 0x0E, 4);
    const std::int64_t width = little_endian(head.bytes, 0x12, 4);
    const std::int64_t height = little_endian(head.bytes, 0x16, 4);
    const std::int64_t bpp = little_endian(head.bytes, 0x1C, 2);
    const std::int64_t compression = little_endian(head.bytes, 0x1E, 4);
    std::int64_t colors = little_endian(head.bytes, 0x2E, 4);
    // Compressed pixels go to an external program, which is never run.
    if (compression != 0 || width <= 0 || header_size < 40)
        return {};
    if (bpp < 16 && colors == 0)
        colors = std::int64_t{1} << bpp;
    if (bpp >= 16)
        colors = 0;
    const std::int64_t row = bpp == 1   ? (width + 7) / 8
                             : bpp == 4 ? (width + 1) / 2
                                        : width * bpp / 8;
    const std::int64_t start = std::max(offset, 14 + header_size + 4 * colors);
    const std::int64_t height_rows = height < 0 ? -height : height;
    const std::uint64_t needs = static_cast<std::uint64_t>((row + (4 - row % 4) % 4) * height_rows);
    const std::uint64_t has = head.size > static_cast<std::uint64_t>(start)
                                  ? head.size - static_cast<std::uint64_t>(start)
                                  : 0;
    return has < needs ? short_by(has, needs, "bytes of pixels") : std::string();
}

}  // namespace

std::string missing_pixels(const std::string& name)
{
    file_text head;
    if (!read_file(name, header_bytes, head) || head.bytes.size() < 2)
        return {};
    const char a = head.bytes[0], b = head.bytes[1];
    if (a == 'P' && (b == 'F' || b == 'f'))
        return check_pfm(head);
    if (a == 'P' && b >= '1' && b <= '9')
        return check_pnm(name, head);
    if (a == 'B' && b == 'M')
        return check_bmp(head);
    return {};
}

}  // namespace orvane
