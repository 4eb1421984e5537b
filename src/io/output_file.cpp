// Temporaries with random names under a lock, commit by rename, the removal of a killed run's
// leftovers, and the directories outputs go into.
#include "io/output_file.hpp"

#include "base/error.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

namespace orvane {

namespace {

const std::string temp_suffix = ".part";
constexpr std::size_t token_digits = 16;
// Names are tried again only when another file took the name, or a cleaner
// took the file away before it was locked: a few times at most.
constexpr int max_attempts = 16;

std::string random_token(const std::string& final_path)
{
    std::uint64_t bits = 0;
    if (!platform::random_bytes(&bits, sizeof bits))
        throw error(failure_kind::write, final_path,
                    "cannot name a temporary: " + platform::error_text(errno));
    static const char digits[] = "0123456789abcdef";
    std::string token(token_digits, '0');
    for (std::size_t i = 0; i < token_digits; ++i, bits >>= 4)
        token[i] = digits[bits & 15];
    return token;
}

// Whether a failed lock means another open file holds it; other failures
// (a file system without locks) leave the file unlocked.
bool held_elsewhere(int error_number)
{
    return error_number == EAGAIN || error_number == EWOULDBLOCK || error_number == EACCES;
}

}  // namespace

output_file::output_file(std::string final_path) : final_path_(std::move(final_path))
{
    for (int attempt = 1;; ++attempt) {
        temp_path_ = final_path_ + "." + random_token(final_path_) + temp_suffix;
        const int fd = platform::create_new(temp_path_);
        if (fd < 0) {
            if (errno == EEXIST && attempt < max_attempts)
                continue;
            throw error(failure_kind::write, temp_path_,
                        "cannot create: " + platform::error_text(errno));
        }
        // A cleaner may lock and remove the file between its creation and
        // the lock here: then the name no longer names it, and the file is
        // made again under a new name. Without locks on this file system
        // no cleaner can take it either.
        const bool locked = platform::try_lock(fd);
        const bool lost =
            (!locked && held_elsewhere(errno)) || !platform::names_open_file(temp_path_, fd);
        if (!lost) {
            lock_fd_ = fd;
            return;
        }
        platform::close_file(fd);
        if (attempt >= max_attempts)
            throw error(failure_kind::write, temp_path_,
                        "cannot create: another process keeps taking it away");
    }
}

output_file::~output_file()
{
    // The written file is closed before the temporary goes: Windows removes
    // no file that a handle without delete sharing holds.
    written_ = unsynced_file();
    if (!committed_)
        platform::remove_file(temp_path_);
    if (lock_fd_ >= 0)
        platform::close_file(lock_fd_);
}

void output_file::hold(unsynced_file written) { written_ = std::move(written); }

void output_file::start_sync() { written_.start_sync(); }

void output_file::sync()
{
    // Data reaches the device before the rename that publishes it: after a
    // power loss a final name never holds an empty or partial file.
    written_.close(true, keep_cached_);
}

void output_file::commit()
{
    sync();
    // The lock is held through the rename, so no cleaner (another process
    // starting on the same folder) can take the file on its way to the final
    // name. Windows refuses to replace a file any handle holds open: another
    // run putting its own copy in place at the same moment waits, as for a
    // virus scanner, the few instants until the handle here is closed.
    if (!platform::rename_file(temp_path_, final_path_))
        throw error(failure_kind::write, final_path_,
                    "cannot rename '" + temp_path_ + "' to it: " + platform::error_text(errno));
    committed_ = true;
    if (lock_fd_ >= 0)
        platform::close_file(std::exchange(lock_fd_, -1));
}

bool output_file::commit_new()
{
    sync();
    if (!platform::rename_new(temp_path_, final_path_)) {
        if (errno == EEXIST)
            return false;
        throw error(failure_kind::write, final_path_,
                    "cannot rename '" + temp_path_ + "' to it: " + platform::error_text(errno));
    }
    committed_ = true;
    if (lock_fd_ >= 0)
        platform::close_file(std::exchange(lock_fd_, -1));
    return true;
}

bool is_temporary_name(const std::string& name)
{
    const std::size_t tail = 1 + token_digits + temp_suffix.size();
    if (name.size() <= tail ||
        name.compare(name.size() - temp_suffix.size(), temp_suffix.size(), temp_suffix) != 0)
        return false;
    const std::size_t dot = name.size() - tail;
    return name[dot] == '.' &&
           name.find_first_not_of("0123456789abcdef", dot + 1) == name.size() - temp_suffix.size();
}

int remove_stale_temporaries(const std::string& dir)
{
    int removed = 0;
    for (const std::string& name : platform::directory_entries(dir)) {
        if (!is_temporary_name(name))
            continue;
        const std::string path = dir + "/" + name;
        const int fd = platform::open_for_locking(path);
        if (fd < 0)
            continue;
        // Only a file whose lock is free here is no live run's; the name
        // must still be that file's when it is removed.
        if (platform::status_of_open(fd).regular && platform::try_lock(fd) &&
            platform::names_open_file(path, fd) && platform::remove_file(path))
            ++removed;
        platform::close_file(fd);
    }
    return removed;
}

namespace {

// Writes the bytes into the file's temporary, to be synced and renamed.
int write_temporary(output_file& file, const void* data, std::size_t size)
{
    const int fd = platform::create_for_writing(file.temp_path());
    if (fd < 0)
        throw error(failure_kind::write, file.temp_path(),
                    "cannot create it: " + platform::error_text(errno));
    unsynced_file written(file.temp_path(), fd);
    if (!platform::write_at(fd, data, size, 0))
        throw error(failure_kind::write, file.temp_path(),
                    "cannot write: " + platform::error_text(errno));
    file.hold(std::move(written));
    return fd;
}

}  // namespace

void write_and_start(output_file& file, const void* data, std::size_t size)
{
    platform::start_writeback(write_temporary(file, data, size));
}

void commit_file(const std::string& path, const void* data, std::size_t size)
{
    output_file file(path);
    write_temporary(file, data, size);
    file.commit();
}

void commit_new_file(const std::string& path, const void* data, std::size_t size)
{
    if (platform::status_of(path).exists)
        return;
    output_file file(path);
    write_temporary(file, data, size);
    file.commit_new();
}

bool make_dir(const std::string& path)
{
    return platform::status_of(path).exists || platform::make_directory(path) || errno == EEXIST;
}

bool make_dirs(const std::string& path, std::string* failed_level)
{
    // A drive or share root exists without being made, and cannot be.
    const std::size_t root = std::min(platform::root_length(path), path.size());
    std::string prefix = path.substr(0, root);
    std::string segment;
    for (std::size_t i = root; i < path.size(); ++i) {
        segment += path[i];
        if (!platform::is_separator(path[i]) && i + 1 != path.size())
            continue;
        prefix += segment;
        segment.clear();
        if (!make_dir(prefix)) {
            if (failed_level)
                *failed_level = prefix;
            return false;
        }
    }
    return true;
}

void refuse_directory(const std::string& level, const std::string& reason)
{
    throw error(failure_kind::write, level, "cannot create the directory: " + reason);
}

}  // namespace orvane
