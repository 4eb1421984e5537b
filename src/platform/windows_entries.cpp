// Entries of the file system on Windows: renames and removals that wait out a
// file held by another program, what is at a path, new directories and the
// names in one.
#include "platform/platform.hpp"

#include "platform/windows_common.hpp"

#include <algorithm>
#include <cerrno>

namespace orvane::platform {

using namespace windows_detail;

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
    errno = errno_of_last_error();
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

}  // namespace orvane::platform
