// The platform interface on Windows: wide-character calls for every name, so
// UTF-8 names from a list or a script open whatever the code page.
#include "platform/platform.hpp"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace orvane::platform {

namespace {

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

// errno for the last Windows error, so callers word every failure alike.
int errno_of_last_error()
{
    switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILE_TOO_LARGE: return EFBIG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_INVALID_NAME: return EINVAL;
    default: return EIO;
    }
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

OVERLAPPED at_offset(std::uint64_t offset)
{
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

// Chunks below 4 GiB, what one ReadFile or WriteFile takes.
constexpr std::size_t max_chunk = std::size_t{1} << 30;

}  // namespace

int open_for_reading(const std::string& path)
{
    return ::_wopen(wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int open_sequential(const std::string& path) { return open_for_reading(path); }

int create_for_writing(const std::string& path)
{
    return ::_wopen(wide(path).c_str(), _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
}

bool close_file(int fd) { return ::_close(fd) == 0; }

std::int64_t read_at(int fd, void* into, std::size_t count, std::uint64_t offset)
{
    OVERLAPPED where = at_offset(offset);
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min(count, max_chunk));
    if (::ReadFile(handle_of(fd), into, wanted, &got, &where))
        return got;
    if (::GetLastError() == ERROR_HANDLE_EOF)
        return 0;
    errno = errno_of_last_error();
    return -1;
}

std::int64_t read_next(int fd, void* into, std::size_t count)
{
    const int n = ::_read(fd, into, static_cast<unsigned>(std::min(count, max_chunk)));
    return n;
}

bool write_at(int fd, const void* from, std::size_t count, std::uint64_t offset)
{
    const auto* bytes = static_cast<const unsigned char*>(from);
    while (count > 0) {
        OVERLAPPED where = at_offset(offset);
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min(count, max_chunk));
        if (!::WriteFile(handle_of(fd), bytes, chunk, &written, &where)) {
            errno = errno_of_last_error();
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        count -= written;
        offset += written;
    }
    return true;
}

bool sync_data(int fd)
{
    if (::FlushFileBuffers(handle_of(fd)))
        return true;
    errno = errno_of_last_error();
    return false;
}

void start_writeback(int) {}

bool rename_file(const std::string& from, const std::string& to)
{
    // Write-through: the rename is on the device when the call returns, as
    // the data was by the sync before it.
    if (::MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = errno_of_last_error();
    return false;
}

bool remove_file(const std::string& path) { return ::_wunlink(wide(path).c_str()) == 0; }

file_status status_of(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data))
        return {};
    const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool device = (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0;
    const std::uint64_t size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    return {true, directory, !directory && !device, size};
}

file_status status_of_open(int fd)
{
    const HANDLE handle = handle_of(fd);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    // A pipe, a console or a device is no file to read a tile from.
    if (::GetFileType(handle) != FILE_TYPE_DISK)
        return {true, false, false, 0};
    LARGE_INTEGER size{};
    ::GetFileSizeEx(handle, &size);
    return {true, false, true, static_cast<std::uint64_t>(size.QuadPart)};
}

bool make_directory(const std::string& path)
{
    if (::CreateDirectoryW(wide(path).c_str(), nullptr))
        return true;
    errno = errno_of_last_error();
    return false;
}

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
    if (start == 0 && separator_at(0) && separator_at(1)) {
        // \\server\share\ : the server and the share are one root.
        std::size_t i = 2;
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

std::vector<std::string> directory_entries(const std::string& dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(wide(dir + "/*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = narrow(found.cFileName);
        if (name != "." && name != "..")
            names.push_back(name);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

std::vector<std::string> utf8_arguments(int argc, const char* const* argv)
{
    int count = 0;
    LPWSTR* wide_arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide_arguments || count != argc) {
        if (wide_arguments)
            ::LocalFree(wide_arguments);
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(narrow(wide_arguments[i]));
    ::LocalFree(wide_arguments);
    return arguments;
}

namespace {
UINT console_code_page = 0;  // the console's own, given back at exit
void restore_console() { ::SetConsoleOutputCP(console_code_page); }
}  // namespace

void prepare_console()
{
    // The lines are UTF-8; a console shows them as such only on that code
    // page. The console outlives the program, so its own page comes back.
    console_code_page = ::GetConsoleOutputCP();
    if (console_code_page != 0 && console_code_page != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8))
        std::atexit(restore_console);
}

std::string host_name()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &size) || size == 0)
        return "localhost";
    return narrow(name);
}

long process_id() { return static_cast<long>(::GetCurrentProcessId()); }

process_state state_of_process(long pid)
{
    if (pid <= 0)
        return process_state::unknown;
    const HANDLE process =
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return ::GetLastError() == ERROR_INVALID_PARAMETER ? process_state::gone
                                                           : process_state::unknown;
    DWORD code = 0;
    const bool known = ::GetExitCodeProcess(process, &code) != 0;
    ::CloseHandle(process);
    if (!known)
        return process_state::unknown;
    return code == STILL_ACTIVE ? process_state::alive : process_state::gone;
}

std::uint64_t physical_memory()
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return ::GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

bool error_stream_is_terminal()
{
    // Only a console has a mode; _isatty would take the null device for one too.
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void report_file_size_limit_as_error() {}

std::string error_text(int error_number)
{
    return std::error_code(error_number, std::generic_category()).message();
}

}  // namespace orvane::platform
