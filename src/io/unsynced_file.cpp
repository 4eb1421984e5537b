// Files handed back open by the writer, synced when it suits the caller.
#include "io/unsynced_file.hpp"

#include "base/error.hpp"
#include "platform/platform.hpp"

#include <cerrno>
#include <system_error>
#include <utility>

namespace orvane {

unsynced_file::unsynced_file(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

unsynced_file::unsynced_file(unsynced_file&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)),
      sync_(std::move(other.sync_))
{
}

unsynced_file& unsynced_file::operator=(unsynced_file&& other) noexcept
{
    if (this != &other) {
        discard();
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
        sync_ = std::move(other.sync_);
    }
    return *this;
}

unsynced_file::~unsynced_file() { discard(); }

void unsynced_file::discard() noexcept
{
    // A sync still running uses the descriptor: it must end before the close.
    wait_for_sync();
    if (fd_ >= 0)
        platform::close_file(std::exchange(fd_, -1));
}

int unsynced_file::wait_for_sync() { return sync_.valid() ? sync_.get() : 0; }

void unsynced_file::start_sync()
{
    if (fd_ < 0 || sync_.valid())
        return;
    const int fd = fd_;
    try {
        sync_ =
            std::async(std::launch::async, [fd] { return platform::sync_data(fd) ? 0 : errno; });
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): close(true) syncs instead.
    }
}

void unsynced_file::close(bool sync, bool keep_cached)
{
    if (fd_ < 0)
        return;
    const bool started = sync_.valid();
    int error_number = wait_for_sync();
    if (!started && sync && !platform::sync_data(fd_))
        error_number = errno;
    if (error_number != 0) {
        platform::close_file(std::exchange(fd_, -1));
        throw error(failure_kind::write, path_,
                    "cannot sync: " + platform::error_text(error_number));
    }
    if (sync && !keep_cached)
        platform::drop_cached(fd_);
    if (!platform::close_file(std::exchange(fd_, -1)))
        throw error(failure_kind::write, path_, "cannot close: " + platform::error_text(errno));
}

}  // namespace orvane
