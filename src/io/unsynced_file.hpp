// A written file still open, whose data may not yet be on the device.
#pragma once

#include <future>
#include <string>

namespace orvane {

// Syncing a file later, after other work, finds the device done with most of
// it. Closing without a sync happens when the object goes.
class unsynced_file {
public:
    unsynced_file() = default;
    unsynced_file(std::string path, int fd);
    unsynced_file(unsynced_file&& other) noexcept;
    unsynced_file& operator=(unsynced_file&& other) noexcept;
    ~unsynced_file();
    unsynced_file(const unsynced_file&) = delete;
    unsynced_file& operator=(const unsynced_file&) = delete;

    // Starts the sync on a thread of its own, so the caller's work goes on
    // while the device takes the data; close(true) then waits for it.
    void start_sync();

    // Waits until the data is on the device (with sync), then closes, letting
    // the system drop the synced pages unless they are to be read back.
    // Throws a write error naming the path on failure.
    void close(bool sync, bool keep_cached = false);

private:
    // Waits for a sync started and returns its errno, 0 when it succeeded or
    // none was started.
    int wait_for_sync();
    // Waits for a sync started, then closes without reporting anything.
    void discard() noexcept;

    std::string path_;
    int fd_ = -1;
    std::future<int> sync_;
};

}  // namespace orvane
