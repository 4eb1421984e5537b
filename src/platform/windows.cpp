// The platform interface on Windows: wide-character calls for every name, so
// UTF-8 names from a list or a script open whatever the code page.
#include "platform/platform.hpp"

#include "platform/windows_forms.hpp"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <ntsecapi.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
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

// errno values that carry what Windows said, far above the C library's own,
// so that the callers keep and pass them as any errno and error_text words
// them: a Windows error code; the same for a file held open by another
// program past the wait, the one moved or removed or the one replaced; why
// a path cannot be given to Windows (the problem and its detail).
constexpr int windows_error_base = 0x20000000;
constexpr int held_file_base = 0x21000000;
constexpr int held_target_base = 0x22000000;
constexpr int path_problem_base = 0x23000000;
constexpr int code_mask = 0x00FFFFFF;

int errno_of(int base, DWORD code) { return base | static_cast<int>(code & code_mask); }

// errno for the last Windows error. The one failure the callers test for,
// a directory that exists already, stays the C library's.
int errno_of_last_error()
{
    const DWORD code = ::GetLastError();
    return code == ERROR_ALREADY_EXISTS ? EEXIST : errno_of(windows_error_base, code);
}

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

// The form of path Windows calls take; false, with errno saying why, when
// Windows cannot be given it.
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

namespace {

// A descriptor for a file opened by CreateFileW, whose failure keeps
// Windows' own error where the C library's _wopen would map it.
int open_with(const std::string& path, DWORD access, DWORD disposition, int flags)
{
    std::wstring name;
    if (!system_path(path, name))
        return -1;
    // Others may read, write, rename and remove a file this program reads;
    // one it writes they may only read and write, as _wopen allowed.
    const DWORD sharing = access == GENERIC_READ
                              ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                              : FILE_SHARE_READ | FILE_SHARE_WRITE;
    const HANDLE handle = ::CreateFileW(name.c_str(), access, sharing, nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_of_last_error();
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0)
        ::CloseHandle(handle);
    return fd;
}

}  // namespace

int open_for_reading(const std::string& path)
{
    return open_with(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY);
}

int open_sequential(const std::string& path) { return open_for_reading(path); }

int create_for_writing(const std::string& path)
{
    return open_with(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, _O_RDWR);
}

bool close_file(int fd) { return ::_close(fd) == 0; }

namespace {

// A descriptor for a handle of CreateFileW, -1 with errno set on failure.
int descriptor_of(HANDLE handle)
{
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_of_last_error();
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
    if (fd < 0)
        ::CloseHandle(handle);
    return fd;
}

// Every other handle may read, write, rename or delete the file: the lock,
// not the sharing, tells a live run's file, and the run renames its file
// while its locked handle is still open.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A descriptor for path opened to read and write, shared with every other
// handle; -1 with errno set on failure.
int open_shared(const std::string& path, DWORD disposition, DWORD flags)
{
    std::wstring name;
    if (!system_path(path, name))
        return -1;
    return descriptor_of(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, share_all,
                                       nullptr, disposition, flags, nullptr));
}

}  // namespace

int create_new(const std::string& path)
{
    return open_shared(path, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
}

int open_for_locking(const std::string& path)
{
    return open_shared(path, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
}

bool try_lock(int fd)
{
    // Windows' locks bar reading and writing the range through every other
    // handle, so the one byte locked lies far past any data.
    OVERLAPPED where = at_offset(std::uint64_t{1} << 62);
    if (::LockFileEx(handle_of(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &where))
        return true;
    errno = errno_of_last_error();
    return false;
}

bool names_open_file(const std::string& path, int fd)
{
    std::wstring name;
    if (!system_path(path, name))
        return false;
    const HANDLE named =
        ::CreateFileW(name.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    const bool known =
        ::GetFileInformationByHandle(named, &a) && ::GetFileInformationByHandle(handle_of(fd), &b);
    ::CloseHandle(named);
    return known && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool random_bytes(void* into, std::size_t count)
{
    auto* bytes = static_cast<unsigned char*>(into);
    while (count > 0) {
        const auto chunk = static_cast<ULONG>(std::min<std::size_t>(count, 1u << 20));
        if (!RtlGenRandom(bytes, chunk)) {
            errno = EIO;
            return false;
        }
        bytes += chunk;
        count -= chunk;
    }
    return true;
}

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
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min(count, max_chunk));
    if (::ReadFile(handle_of(fd), into, wanted, &got, nullptr))
        return got;
    // A pipe whose writer has closed it is at its end.
    const DWORD code = ::GetLastError();
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF)
        return 0;
    errno = errno_of_last_error();
    return -1;
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

namespace {

// What a virus scanner, an indexer, a backup agent or a viewer holding a
// file open makes a rename or a removal fail with, for a while.
bool held_by_another_program(DWORD code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
           code == ERROR_LOCK_VIOLATION;
}

// Calls attempt until it succeeds, fails for another reason, or the file
// stays held for rename_patience_seconds; pauses grow from 10 ms to 0.5 s.
// Leaves the last failure's code for GetLastError.
template <class Attempt> bool patiently(Attempt attempt)
{
    const ULONGLONG deadline = ::GetTickCount64() + 1000ULL * rename_patience_seconds;
    DWORD pause = 10;
    while (!attempt()) {
        const DWORD code = ::GetLastError();
        if (!held_by_another_program(code) || ::GetTickCount64() >= deadline) {
            ::SetLastError(code);
            return false;
        }
        ::Sleep(pause);
        pause = std::min<DWORD>(pause * 2, 500);
    }
    return true;
}

// Whether another program holds name open so that it cannot be renamed or
// removed: it keeps others from deleting it.
bool held_open(const std::wstring& name)
{
    const HANDLE handle =
        ::CreateFileW(name.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
        return false;
    }
    return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace

bool rename_file(const std::string& from, const std::string& to)
{
    std::wstring source, target;
    if (!system_path(from, source) || !system_path(to, target))
        return false;
    // Write-through: the rename is on the device when the call returns, as
    // the data was by the sync before it.
    if (patiently([&] {
            return ::MoveFileExW(source.c_str(), target.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        }))
        return true;
    // Access is denied for other reasons too (a directory in the way, a
    // read-only file): only a file another program holds is said to be in use.
    const DWORD code = ::GetLastError();
    if (held_by_another_program(code) && held_open(source))
        errno = errno_of(held_file_base, code);
    else if (held_by_another_program(code) && held_open(target))
        errno = errno_of(held_target_base, code);
    else
        errno = errno_of(windows_error_base, code);
    return false;
}

bool rename_new(const std::string& from, const std::string& to)
{
    std::wstring source, target;
    if (!system_path(from, source) || !system_path(to, target))
        return false;
    // Without MOVEFILE_REPLACE_EXISTING the move fails where anything is at to.
    if (patiently([&] {
            return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
        }))
        return true;
    const DWORD code = ::GetLastError();
    errno = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS
                ? EEXIST
                : errno_of(windows_error_base, code);
    return false;
}

bool remove_file(const std::string& path)
{
    std::wstring name;
    if (!system_path(path, name))
        return false;
    if (patiently([&] { return ::DeleteFileW(name.c_str()) != 0; }))
        return true;
    const DWORD code = ::GetLastError();
    errno = errno_of(held_by_another_program(code) && held_open(name) ? held_file_base
                                                                      : windows_error_base,
                     code);
    return false;
}

file_status status_of(const std::string& path)
{
    std::wstring name;
    if (!system_path(path, name))
        return {};
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data))
        return {};
    DWORD attributes = data.dwFileAttributes;
    std::uint64_t size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A symbolic link or junction: what it leads to, as stat tells on
        // POSIX systems; nothing when it leads nowhere.
        const HANDLE target =
            ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (target == INVALID_HANDLE_VALUE)
            return {};
        BY_HANDLE_FILE_INFORMATION info{};
        const bool known = ::GetFileInformationByHandle(target, &info) != 0;
        ::CloseHandle(target);
        if (!known)
            return {};
        attributes = info.dwFileAttributes;
        size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    }
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool device = (attributes & FILE_ATTRIBUTE_DEVICE) != 0;
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

file_identity identity_of(const std::string& path)
{
    // No access asked for, and every sharing allowed: the file is only
    // identified, never read, so an open elsewhere does not stand in the way.
    std::wstring name;
    if (!system_path(path, name))
        return {};
    const HANDLE handle =
        ::CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    if (!known)
        return {};
    return {true, info.dwVolumeSerialNumber,
            (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool make_directory(const std::string& path)
{
    std::wstring name;
    if (!system_path(path, name))
        return false;
    if (::CreateDirectoryW(name.c_str(), nullptr))
        return true;
    errno = errno_of_last_error();
    return false;
}

bool remove_directory(const std::string& path)
{
    std::wstring name;
    if (!system_path(path, name))
        return false;
    if (::RemoveDirectoryW(name.c_str()))
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

std::vector<std::string> directory_entries(const std::string& dir)
{
    std::vector<std::string> names;
    std::wstring pattern;
    if (!system_path(dir, pattern))
        return names;
    pattern += pattern.back() == L'\\' ? L"*" : L"\\*";
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
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

// The console's own code page and input mode, given back when the program
// ends: the console outlives it.
UINT console_code_page = 0;
DWORD console_input_mode = 0;
bool input_mode_changed = false;

void restore_console()
{
    if (console_code_page != 0 && console_code_page != CP_UTF8)
        ::SetConsoleOutputCP(console_code_page);
    if (input_mode_changed)
        ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), console_input_mode);
}

// Ctrl+C, Ctrl+Break or the window closed end the process without the
// handlers of std::atexit: the console is given back here, then the
// system's own handler ends the program as it would have.
BOOL WINAPI on_console_event(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT)
        restore_console();
    return FALSE;
}

}  // namespace

void prepare_console()
{
    // The lines are UTF-8; a console shows them as such only on that code
    // page.
    console_code_page = ::GetConsoleOutputCP();
    const bool page_changed =
        console_code_page != 0 && console_code_page != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8);
    // With Quick Edit on, a click into the window selects text and stops
    // every write to the console, and so every worker, until a key is hit.
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (::GetConsoleMode(input, &console_input_mode)) {
        const DWORD mode = without_quick_edit(console_input_mode);
        input_mode_changed = mode != console_input_mode && ::SetConsoleMode(input, mode);
    }
    if (page_changed || input_mode_changed) {
        std::atexit(restore_console);
        ::SetConsoleCtrlHandler(on_console_event, TRUE);
    }
}

void keep_awake()
{
    // Until the program ends: the system, not the display (a run is left
    // alone overnight, its window need not stay lit).
    ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
}

std::uint64_t physical_memory()
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return ::GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

memory_limits process_memory_limits()
{
    // The job this process runs in, if any; the limits of a job it is nested
    // in are those of that job's own job and not seen here.
    memory_limits limits;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
    if (!::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job,
                                     nullptr))
        return limits;
    if (job.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY)
        limits.job_process = job.ProcessMemoryLimit;
    if (job.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_JOB_MEMORY)
        limits.job_total = job.JobMemoryLimit;
    return limits;
}

// Windows has no limit on the address space: a job object counts committed
// memory, which a thread's reserved stack does not take.
mapped_memory process_mapped_memory() { return {}; }

thread_reservation thread_reservations() { return {}; }

std::string environment_value(const char* name)
{
    const std::wstring wide_name = wide(name);
    const DWORD size = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    if (::GetEnvironmentVariableW(wide_name.c_str(), value.data(), size) != size - 1)
        return {};
    return narrow(value.c_str());
}

bool error_stream_is_terminal()
{
    // Only a console has a mode; _isatty would take the null device for one too.
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void report_file_size_limit_as_error() {}

bool is_missing(int error_number)
{
    if ((error_number & ~code_mask) != windows_error_base)
        return error_number == ENOENT;
    const DWORD code = static_cast<DWORD>(error_number & code_mask);
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
           code == ERROR_INVALID_DRIVE;
}

namespace {

// Windows' own words for a code, without the final stop and line end, and
// the code: "The system cannot find the file specified (Windows error 2)".
std::string windows_words(DWORD code)
{
    wchar_t* words = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&words), 0, nullptr);
    std::string text = length > 0 ? narrow(words) : std::string();
    if (words)
        ::LocalFree(words);
    while (!text.empty() &&
           (std::isspace(static_cast<unsigned char>(text.back())) || text.back() == '.'))
        text.pop_back();
    const std::string number = "Windows error " + std::to_string(code);
    return text.empty() ? number : text + " (" + number + ")";
}

}  // namespace

std::string error_text(int error_number)
{
    const int base = error_number & ~code_mask;
    const auto code = static_cast<DWORD>(error_number & code_mask);
    const std::string held = " is in use by another program, still after " +
                             std::to_string(rename_patience_seconds) +
                             " s (a virus scanner, an indexer, a backup agent or a viewer may "
                             "hold it): " +
                             windows_words(code);
    switch (base) {
    case windows_error_base: return windows_words(code);
    case held_file_base: return "the file being moved or removed" + held;
    case held_target_base: return "the file it would replace" + held;
    case path_problem_base:
        return path_problem_text(static_cast<path_problem>(code >> 20), code & 0xFFFFF);
    default: return std::error_code(error_number, std::generic_category()).message();
    }
}

}  // namespace orvane::platform
