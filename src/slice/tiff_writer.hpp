// Writes a 16-bit grey image as an LZW strip TIFF, with every failure reported.
#pragma once

#include <cstdint>
#include <future>
#include <string>

namespace orvane {

struct tiff_write_options {
    // Threads that encode strips; 1 encodes on the calling thread. Called from
    // inside a parallel region, more than 1 hands strips to that region's idle
    // threads as tasks (no nested team is started).
    int threads = 1;
    // Flush the file's data to the device before closing it.
    bool sync = false;
};

// A written file still open, its data perhaps not yet on the device. Syncing
// it later, after other work, finds the device done with most of it.
class unsynced_file {
public:
    unsynced_file() = default;
    unsynced_file(std::string path, int fd);
    unsynced_file(unsynced_file&& other) noexcept;
    unsynced_file& operator=(unsynced_file&& other) noexcept;
    ~unsynced_file(); // closes without syncing
    unsynced_file(const unsynced_file&) = delete;
    unsynced_file& operator=(const unsynced_file&) = delete;

    // Starts the sync on a thread of its own, so the caller's work goes on
    // while the device takes the data; close(true) then waits for it.
    void start_sync();

    // Waits until the data is on the device (with sync), then closes. Throws
    // std::runtime_error naming the path on failure.
    void close(bool sync);

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

// Writes width x height pixels (row-major, no padding) to path in the layout
// the image library's save_tiff(path, 1, none, none, true) gives a one-slice,
// one-channel image, byte for byte: same tags, strips and LZW codes. An image
// with no pixels gives an empty file. Throws std::runtime_error naming the
// path and the failed operation; a partly written file is left for the caller
// to remove.
void write_tiff(const std::string& path, const std::uint16_t* pixels, std::uint32_t width,
                std::uint32_t height, const tiff_write_options& options = {});

// Writes as write_tiff does (options.sync aside), starting the device on
// the data as it goes, and returns the file open so the caller syncs it when
// it suits.
unsynced_file write_tiff_unsynced(const std::string& path, const std::uint16_t* pixels,
                                  std::uint32_t width, std::uint32_t height,
                                  const tiff_write_options& options = {});

// Whether an image of this size is written as BigTIFF: when its pixel data
// takes 2^31 bytes or more.
bool needs_bigtiff(std::uint32_t width, std::uint32_t height);

} // namespace orvane
