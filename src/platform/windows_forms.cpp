// The forms Windows needs of a path and of a console mode.
#include "platform/windows_forms.hpp"

#include <cctype>
#include <cstdio>
#include <vector>

namespace orvane::platform {

namespace {

const char* const device_names[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4",
                                    "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                    "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
constexpr std::size_t device_name_count = sizeof device_names / sizeof device_names[0];

bool separator(char c) { return c == '/' || c == '\\'; }

bool drive_letter(const std::string& text, std::size_t at)
{
    return text.size() >= at + 2 && std::isalpha(static_cast<unsigned char>(text[at])) &&
           text[at + 1] == ':';
}

// A path taken apart: its root ("C:" or "\\server\share") and its names.
struct parts {
    std::string root;
    bool unc = false;
    bool prefixed = false;  // given in the \\?\ form
    std::vector<std::string> names;
};

// The problem of one name of a path the user gave, if Windows could not
// hold it as a folder's entry under that very name.
windows_path refusal(const std::string& name)
{
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' ||
            c == '*')
            return {{}, path_problem::forbidden_character, byte};
    }
    // A device name stays one with any extension and blanks before it.
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (std::size_t i = 0; i < device_name_count; ++i) {
        const std::string device = device_names[i];
        bool same = stem.size() == device.size();
        for (std::size_t k = 0; same && k < stem.size(); ++k)
            same = std::toupper(static_cast<unsigned char>(stem[k])) == device[k];
        if (same)
            return {{}, path_problem::device_name, static_cast<std::uint32_t>(i)};
    }
    if (name.back() == ' ')
        return {{}, path_problem::trailing_blank, 0};
    if (name.back() == '.')
        return {{}, path_problem::trailing_dot, 0};
    return {};
}

// Adds the names of text (split at either separator) to into, resolving
// "." and ".."; a name that cannot be given to Windows refuses the path
// when checked.
windows_path add_names(const std::string& text, std::vector<std::string>& into, bool checked)
{
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = start;
        while (end < text.size() && !separator(text[end]))
            ++end;
        const std::string name = text.substr(start, end - start);
        if (name == "..") {
            if (!into.empty())
                into.pop_back();
        } else if (!name.empty() && name != ".") {
            if (checked) {
                windows_path refused = refusal(name);
                if (refused.problem != path_problem::none)
                    return refused;
            }
            into.push_back(name);
        }
        start = end + 1;
    }
    return {};
}

// The server and share of a UNC path whose names start at text[at].
std::size_t take_share(const std::string& text, std::size_t at, parts& into)
{
    into.unc = true;
    into.root = "\\";
    for (int part = 0; part < 2; ++part) {
        while (at < text.size() && separator(text[at]))
            ++at;
        std::size_t end = at;
        while (end < text.size() && !separator(text[end]))
            ++end;
        into.root += "\\" + text.substr(at, end - at);
        at = end;
    }
    return at;
}

// Splits an absolute path (one the system gave, so not checked) or the
// part of one the user gave that fixes its root. Returns where the names
// start, or npos when path has no root of its own.
std::size_t take_root(const std::string& path, parts& into)
{
    std::size_t at = 0;
    if (path.size() >= 4 && separator(path[0]) && separator(path[1]) && path[2] == '?' &&
        separator(path[3])) {
        into.prefixed = true;
        at = 4;
        if (path.size() >= 8 && std::toupper(static_cast<unsigned char>(path[4])) == 'U' &&
            std::toupper(static_cast<unsigned char>(path[5])) == 'N' &&
            std::toupper(static_cast<unsigned char>(path[6])) == 'C' && separator(path[7]))
            return take_share(path, 8, into);
    } else if (separator(path[0]) && separator(path.size() > 1 ? path[1] : 'x')) {
        return take_share(path, 2, into);
    }
    // D: alone is relative to the drive's current directory; \\?\D: is its root.
    if (drive_letter(path, at) &&
        (path.size() == at + 2 ? into.prefixed : separator(path[at + 2]))) {
        into.root = path.substr(at, 2);
        return at + 2;
    }
    return std::string::npos;
}

std::size_t utf16_length(const std::string& text)
{
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80)
            units += byte >= 0xF0 ? 2 : 1;  // four bytes are a surrogate pair
    }
    return units;
}

// The path as a verbatim one (\\.\ or \\?\ of no drive or share): its own
// form, with backslashes and no doubled separator after the prefix.
windows_path verbatim(const std::string& path)
{
    std::string out = path.substr(0, 4);
    out[0] = out[1] = out[3] = '\\';
    for (std::size_t i = 4; i < path.size(); ++i) {
        const bool is_separator = separator(path[i]);
        if (is_separator && separator(out.back()))
            continue;
        out += is_separator ? '\\' : path[i];
    }
    return {out};
}

windows_path assemble(const parts& whole)
{
    std::string out = whole.root;
    for (const std::string& name : whole.names)
        out += "\\" + name;
    if (whole.names.empty())
        out += "\\";
    if (whole.prefixed || utf16_length(out) >= windows_short_path_limit)
        out = whole.unc ? "\\\\?\\UNC" + out.substr(1) : "\\\\?\\" + out;
    const std::size_t length = utf16_length(out);
    if (length >= windows_max_path)
        return {{}, path_problem::too_long, static_cast<std::uint32_t>(length)};
    return {out};
}

}  // namespace

windows_path windows_form(const std::string& path,
                          const std::function<std::string(char)>& current_directory)
{
    if (path.empty())
        return {};
    if (path.size() >= 4 && separator(path[0]) && separator(path[1]) &&
        (path[2] == '?' || path[2] == '.') && separator(path[3])) {
        parts probe;
        if (path[2] == '.' || take_root(path, probe) == std::string::npos)
            return verbatim(path);
    }
    parts whole;
    std::size_t names_at = take_root(path, whole);
    if (names_at == std::string::npos) {
        // Relative to a current directory: the drive's for D:foo, the
        // process's otherwise; of which \foo keeps only the root.
        const bool drive_relative = drive_letter(path, 0);
        const std::string base = current_directory(drive_relative ? path[0] : '\0');
        const std::size_t base_names = take_root(base, whole);
        if (base_names != std::string::npos && !separator(path[0]))
            add_names(base.substr(base_names), whole.names, false);
        names_at = drive_relative ? 2 : 0;
    }
    const windows_path refused = add_names(path.substr(names_at), whole.names, true);
    if (refused.problem != path_problem::none)
        return refused;
    return assemble(whole);
}

std::string path_problem_text(path_problem problem, std::uint32_t detail)
{
    switch (problem) {
    case path_problem::none: return {};
    case path_problem::forbidden_character: {
        char shown[64];
        if (detail < 32)
            std::snprintf(shown, sizeof shown, "the control character U+%04X", detail);
        else
            std::snprintf(shown, sizeof shown, "the character '%c'", static_cast<char>(detail));
        return std::string("a name in the path has ") + shown +
               ", which Windows does not allow in names";
    }
    case path_problem::trailing_blank:
        return "a name in the path ends in a blank, which Windows drops from names (a folder made "
               "so could not be opened or deleted in Explorer)";
    case path_problem::trailing_dot:
        return "a name in the path ends in a dot, which Windows drops from names (a folder made "
               "so could not be opened or deleted in Explorer)";
    case path_problem::device_name:
        return std::string("a name in the path is ") +
               (detail < device_name_count ? device_names[detail] : "a device name") +
               ", which Windows keeps for a device";
    case path_problem::too_long:
        return "the path is " + std::to_string(detail) +
               " characters long in Windows' form; Windows takes at most " +
               std::to_string(windows_max_path - 1);
    }
    return {};
}

std::uint32_t without_quick_edit(std::uint32_t console_mode)
{
    // ENABLE_QUICK_EDIT_MODE off; ENABLE_EXTENDED_FLAGS makes the console
    // take that bit at all.
    constexpr std::uint32_t quick_edit = 0x0040, extended_flags = 0x0080;
    return (console_mode & ~quick_edit) | extended_flags;
}

}  // namespace orvane::platform
