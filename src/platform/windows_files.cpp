// Files on Windows: descriptors over handles of CreateFileW, read and
// written at an offset, synced, locked and told apart.
#include "platform/platform.hpp"

#include "platform/windows_common.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace orvane::platform {

using namespace windows_detail;

namespace {

OVERLAPPED at_offset(std::uint64_t offset)
{
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

// Chunks below 4 GiB, what one ReadFile or WriteFile takes.
constexpr std::size_t max_chunk = std::size_t{1} << 30;

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
    // Held through another handle: the errno the other systems give, which
    // callers wait on; any other failure is a file system without locks.
    const DWORD code = ::GetLastError();
    errno = code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING ? EWOULDBLOCK
                                                                     : errno_of_last_error();
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

// Windows drops written pages by its own measure.
void drop_cached(int) {}

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

}  // namespace orvane::platform
