// The platform interface on POSIX systems.
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace orvane::platform {

int open_for_reading(const std::string& path)
{
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

int open_sequential(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

int create_for_writing(const std::string& path)
{
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

bool close_file(int fd) { return ::close(fd) == 0; }

int create_new(const std::string& path)
{
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

int open_for_locking(const std::string& path)
{
    return ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
}

bool try_lock(int fd)
{
    // A lock of the open file, not of the process: it conflicts with a lock
    // taken through another descriptor of this process too, and it reaches
    // other machines over a network file system.
#ifdef F_OFD_SETLK
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) == 0)
        return true;
    if (errno != EINVAL)
        return false;
#endif
    // A kernel without such locks has flock, which also belongs to the open file.
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

bool names_open_file(const std::string& path, int fd)
{
    struct stat named {
    }, open{};
    return ::lstat(path.c_str(), &named) == 0 && ::fstat(fd, &open) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

bool random_bytes(void* into, std::size_t count)
{
    auto* bytes = static_cast<unsigned char*>(into);
    while (count > 0) {
        const ssize_t n = ::getrandom(bytes, count, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t read_at(int fd, void* into, std::size_t count, std::uint64_t offset)
{
    ssize_t n;
    do
        n = ::pread(fd, into, count, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    return n;
}

std::int64_t read_next(int fd, void* into, std::size_t count)
{
    ssize_t n;
    do
        n = ::read(fd, into, count);
    while (n < 0 && errno == EINTR);
    return n;
}

bool write_at(int fd, const void* from, std::size_t count, std::uint64_t offset)
{
    const auto* bytes = static_cast<const unsigned char*>(from);
    while (count > 0) {
        const ssize_t n = ::pwrite(fd, bytes, count, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool sync_data(int fd)
{
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
    return ::fdatasync(fd) == 0;
#else
    return ::fsync(fd) == 0;
#endif
}

void start_writeback(int fd)
{
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
#endif
}

void drop_cached(int fd)
{
#ifdef POSIX_FADV_DONTNEED
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
#else
    (void)fd;
#endif
}

bool rename_file(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool rename_new(const std::string& from, const std::string& to)
{
    // A second name fails where anything is at to; the first then goes.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST)
        return false;
#ifdef RENAME_NOREPLACE
    // File systems without hard links (FAT, some network shares) may have this.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
#endif
    struct stat there {};
    if (::lstat(to.c_str(), &there) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

namespace {

file_status status_from(const struct stat& s)
{
    return {true, S_ISDIR(s.st_mode), S_ISREG(s.st_mode), static_cast<std::uint64_t>(s.st_size)};
}

}  // namespace

file_status status_of(const std::string& path)
{
    struct stat s {};
    return ::stat(path.c_str(), &s) == 0 ? status_from(s) : file_status{};
}

file_status status_of_open(int fd)
{
    struct stat s {};
    return ::fstat(fd, &s) == 0 ? status_from(s) : file_status{};
}

file_identity identity_of(const std::string& path)
{
    struct stat s {};
    if (::stat(path.c_str(), &s) != 0)
        return {};
    return {true, static_cast<std::uint64_t>(s.st_dev), static_cast<std::uint64_t>(s.st_ino)};
}

bool make_directory(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool remove_directory(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

std::vector<std::string> directory_entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* listing = ::opendir(dir.c_str());
    if (!listing)
        return names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(listing);
    return names;
}

bool is_separator(char c) { return c == '/'; }

std::size_t root_length(const std::string&) { return 0; }

std::string output_base(const std::string& dir) { return dir; }

std::vector<std::string> utf8_arguments(int argc, const char* const* argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

void prepare_console() {}

void keep_awake() {}

std::uint64_t physical_memory()
{
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0)
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
#endif
    return 0;
}

namespace {

std::uint64_t soft_limit(int resource)
{
    struct rlimit limit {};
    if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace

memory_limits process_memory_limits()
{
    memory_limits limits;
    limits.address_space = soft_limit(RLIMIT_AS);
#ifdef RLIMIT_DATA
    limits.data = soft_limit(RLIMIT_DATA);
#endif
    return limits;
}

mapped_memory process_mapped_memory()
{
    // In pages: the whole address space first, its private writable part
    // (what the data limit counts) sixth.
    mapped_memory mapped;
    std::FILE* statm = std::fopen("/proc/self/statm", "re");
    if (!statm)
        return mapped;
    unsigned long long size = 0, resident = 0, shared = 0, text = 0, library = 0, data = 0;
    const int fields = std::fscanf(statm, "%llu %llu %llu %llu %llu %llu", &size, &resident,
                                   &shared, &text, &library, &data);
    std::fclose(statm);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (fields == 6 && page_size > 0) {
        mapped.address_space = size * static_cast<std::uint64_t>(page_size);
        mapped.data = data * static_cast<std::uint64_t>(page_size);
    }
    return mapped;
}

thread_reservation thread_reservations()
{
    thread_reservation reservation;
#ifdef __GLIBC__
    // A new thread maps the default stack and its guard. glibc gives a
    // thread that allocates an arena of its own, each a mapping of 64 MiB
    // (1 MiB on 32-bit systems), up to 8 per processor (2 on 32-bit) unless
    // MALLOC_ARENA_MAX says otherwise.
    pthread_attr_t attributes;
    if (::pthread_getattr_default_np(&attributes) == 0) {
        std::size_t stack = 0, guard = 0;
        ::pthread_attr_getstacksize(&attributes, &stack);
        ::pthread_attr_getguardsize(&attributes, &guard);
        ::pthread_attr_destroy(&attributes);
        reservation.stack = stack + guard;
    }
    const bool wide = sizeof(long) == 8;
    reservation.arena = std::uint64_t{wide ? 64u : 1u} << 20;
    const long processors = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    reservation.max_arenas = static_cast<int>(processors * (wide ? 8 : 2));
    if (const char* arena_max = std::getenv("MALLOC_ARENA_MAX"))
        if (const long value = std::atol(arena_max); value > 0)
            reservation.max_arenas = static_cast<int>(value);
#endif
    return reservation;
}

std::string environment_value(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool error_stream_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

void report_file_size_limit_as_error()
{
#ifdef SIGXFSZ
    ::signal(SIGXFSZ, SIG_IGN);
#endif
}

bool is_missing(int error_number) { return error_number == ENOENT || error_number == ENOTDIR; }

std::string error_text(int error_number)
{
    return std::error_code(error_number, std::generic_category()).message();
}

}  // namespace orvane::platform
