// The platform interface on POSIX systems.
#include "platform/platform.hpp"

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
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

bool rename_file(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

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

bool make_directory(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

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

std::vector<std::string> utf8_arguments(int argc, const char* const* argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

void prepare_console() {}

std::string host_name()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

long process_id() { return static_cast<long>(::getpid()); }

process_state state_of_process(long pid)
{
    if (pid <= 0)
        return process_state::unknown;
    if (::kill(static_cast<pid_t>(pid), 0) == 0)
        return process_state::alive;
    return errno == ESRCH ? process_state::gone : process_state::unknown;
}

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

bool error_stream_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

void report_file_size_limit_as_error()
{
#ifdef SIGXFSZ
    ::signal(SIGXFSZ, SIG_IGN);
#endif
}

std::string error_text(int error_number)
{
    return std::error_code(error_number, std::generic_category()).message();
}

}  // namespace orvane::platform
