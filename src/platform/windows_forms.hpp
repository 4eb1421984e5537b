// The forms Windows needs of a path and of a console mode, as pure functions:
// the Windows build calls them before every call, and every build tests them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace orvane::platform {

// Why a path cannot be given to Windows as it is.
enum class path_problem {
    none,
    forbidden_character,  // detail: the character
    trailing_blank,       // a name ends in a blank, which Windows would drop
    trailing_dot,         // a name ends in a dot, which Windows would drop
    device_name,          // detail: which of device_names (CON, NUL, COM1, ...)
    too_long,             // detail: the length in UTF-16 units
};

struct windows_path {
    std::string path;  // UTF-8, absolute, backslashes; empty when refused
    path_problem problem = path_problem::none;
    std::uint32_t detail = 0;
};

// The longest path Windows takes in any form, the terminating null included.
constexpr std::size_t windows_max_path = 32767;
// From this length on a path gets the \\?\ form: a directory's path must
// leave room for an 8.3 name within the 260 characters of the short form.
constexpr std::size_t windows_short_path_limit = 248;

// The absolute form of path (UTF-8, either separator) that Windows calls
// take at any length: relative, root-relative and drive-relative paths
// (D:foo) joined to the directory current_directory(letter) gives for
// their drive ('\0': the process's own); doubled separators collapsed, "."
// and ".." resolved; the \\?\ or \\?\UNC\ prefix added from
// windows_short_path_limit on and kept when given. Names a Windows folder
// could not hold (a reserved character, a trailing blank or dot, a device
// name) are refused, as is a path longer than windows_max_path allows.
// \\.\ device paths and \\?\ paths of no drive or share keep their form but
// for the separators.
windows_path windows_form(const std::string& path,
                          const std::function<std::string(char)>& current_directory);

// What a refused path's problem is, in a sentence without a final stop.
std::string path_problem_text(path_problem problem, std::uint32_t detail);

// The input mode of a console with Quick Edit off: a click then selects
// nothing and so stops no program writing to it.
std::uint32_t without_quick_edit(std::uint32_t console_mode);

}  // namespace orvane::platform
