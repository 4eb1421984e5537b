// Paths on Windows: UTF-8 names turned into the wide form Windows calls take,
// whatever the code page, and the roots and separators Windows knows.
#include "platform/platform.hpp"

#include "platform/windows_common.hpp"
#include "platform/windows_forms.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace orvane::platform {

namespace windows_detail {

std::wstring wide(const std::string& text)
{
    if (text.empty())
        return {};
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::string narrow(const wchar_t* text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size) - 1);
    return out;
}

namespace {

std::string current_directory_of(char drive)
{
    // GetFullPathNameW of "D:" is the current directory of drive D.
    const wchar_t drive_only[3] = {static_cast<wchar_t>(drive), L':', L'\0'};
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD size =
            drive == '\0' ? ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data())
                          : ::GetFullPathNameW(drive_only, static_cast<DWORD>(buffer.size()),
                                               buffer.data(), nullptr);
        if (size == 0)
            break;
        if (size < buffer.size()) {
            buffer.resize(size);
            return narrow(buffer.c_str());
        }
        buffer.assign(size, L'\0');
    }
    return drive == '\0' ? std::string("C:\\") : std::string(1, drive) + ":\\";
}

}  // namespace

bool system_path(const std::string& path, std::wstring& out)
{
    const windows_path form = windows_form(path, current_directory_of);
    if (form.problem != path_problem::none) {
        errno = path_problem_base | static_cast<int>(form.problem) << 20 |
                static_cast<int>(std::min<std::uint32_t>(form.detail, 0xFFFFF));
        return false;
    }
    out = wide(form.path);
    return true;
}

}  // namespace windows_detail

bool is_separator(char c) { return c == '/' || c == '\\'; }

std::size_t root_length(const std::string& path)
{
    auto separator_at = [&](std::size_t i) { return i < path.size() && is_separator(path[i]); };
    // \\?\ and \\.\ prefixes, then the drive or share after them.
    std::size_t start = 0;
    if (path.size() >= 4 && separator_at(0) && separator_at(1) &&
        (path[2] == '?' || path[2] == '.') && separator_at(3))
        start = 4;
    if (path.size() >= start + 2 && path[start + 1] == ':')
        return separator_at(start + 2) ? start + 3 : start + 2;
    const bool unc_prefix = start == 4 && path.size() >= 8 && separator_at(7) &&
                            (path.compare(4, 3, "UNC") == 0 || path.compare(4, 3, "unc") == 0);
    if ((start == 0 && separator_at(0) && separator_at(1)) || unc_prefix) {
        // \\server\share\ and \\?\UNC\server\share\ : the server and the
        // share are one root.
        std::size_t i = unc_prefix ? 8 : 2;
        for (int part = 0; part < 2 && i < path.size(); ++part) {
            while (i < path.size() && !separator_at(i))
                ++i;
            if (i < path.size())
                ++i;
        }
        return i;
    }
    return start;
}

std::string output_base(const std::string& dir)
{
    const bool drive_alone =
        dir.size() == 2 && std::isalpha(static_cast<unsigned char>(dir[0])) && dir[1] == ':';
    return drive_alone ? dir + "." : dir;
}

}  // namespace orvane::platform
