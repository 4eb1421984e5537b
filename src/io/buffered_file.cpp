// Buffered client I/O for libtiff: reads served from a block read ahead,
// consecutive writes gathered into one call.
#include "io/buffered_file.hpp"

#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace orvane {

namespace {

buffered_file& of(thandle_t handle) { return *static_cast<buffered_file*>(handle); }

tmsize_t read_proc(thandle_t h, void* into, tmsize_t n)
{
    return n < 0 ? -1 : static_cast<tmsize_t>(of(h).read(into, static_cast<std::size_t>(n)));
}
tmsize_t write_proc(thandle_t h, void* from, tmsize_t n)
{
    return n < 0 ? -1 : static_cast<tmsize_t>(of(h).write(from, static_cast<std::size_t>(n)));
}
toff_t seek_proc(thandle_t h, toff_t offset, int whence)
{
    return of(h).seek(static_cast<std::int64_t>(offset), whence);
}
toff_t size_proc(thandle_t h) { return of(h).size(); }
// The descriptor belongs to the buffered_file, which closes it itself.
int close_proc(thandle_t) { return 0; }
int map_proc(thandle_t, void**, toff_t*) { return 0; }
void unmap_proc(thandle_t, void*, toff_t) {}

}  // namespace

buffered_file::buffered_file(int fd, std::uint64_t size, std::size_t capacity)
    : fd_(fd), size_(size), buffer_(new std::uint8_t[capacity]), capacity_(capacity)
{
}

buffered_file::~buffered_file()
{
    if (fd_ >= 0)
        platform::close_file(fd_);
}

int buffered_file::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

TIFF* buffered_file::open_tiff(const std::string& name, const char* mode, TIFFOpenOptions* options)
{
    return TIFFClientOpenExt(name.c_str(), mode, this, read_proc, write_proc, seek_proc, close_proc,
                             size_proc, map_proc, unmap_proc, options);
}

bool buffered_file::failed() const
{
    if (error_ == 0)
        return false;
    errno = error_;
    return true;
}

bool buffered_file::flush()
{
    if (failed())
        return false;
    if (dirty_) {
        if (!platform::write_at(fd_, buffer_.get(), buffered_, buffer_start_)) {
            error_ = errno;
            return false;
        }
        dirty_ = false;
    }
    // What stays in the buffer is now what the file holds, so it can serve
    // reads of that range.
    return true;
}

std::int64_t buffered_file::read(void* into, std::size_t count)
{
    // Pending writes go out first, so the read sees them; a failure sticks.
    if (!flush())
        return -1;
    if (count == 0)
        return 0;
    auto* out = static_cast<std::uint8_t*>(into);
    std::size_t done = 0;
    while (done < count) {
        if (position_ >= buffer_start_ && position_ < buffer_start_ + buffered_) {
            const auto from = static_cast<std::size_t>(position_ - buffer_start_);
            const std::size_t n = std::min(count - done, buffered_ - from);
            std::memcpy(out + done, buffer_.get() + from, n);
            done += n;
            position_ += n;
            continue;
        }
        const std::size_t left = count - done;
        // A large read goes straight to its destination; a small one fills
        // the buffer first, for the reads that follow it.
        const bool direct = left >= capacity_;
        const std::int64_t n = platform::read_at(fd_, direct ? out + done : buffer_.get(),
                                                 direct ? left : capacity_, position_);
        if (n < 0)
            return done > 0 ? static_cast<std::int64_t>(done) : -1;
        if (n == 0)
            break;
        if (direct) {
            done += static_cast<std::size_t>(n);
            position_ += static_cast<std::uint64_t>(n);
        } else {
            buffer_start_ = position_;
            buffered_ = static_cast<std::size_t>(n);
        }
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t buffered_file::write(const void* from, std::size_t count)
{
    if (failed())
        return -1;
    if (count == 0)
        return 0;  // from may then be null, which memcpy must not see
    const auto* bytes = static_cast<const std::uint8_t*>(from);
    // Only a write that continues the pending bytes joins them.
    if (!dirty_ || position_ != buffer_start_ + buffered_ || buffered_ + count > capacity_) {
        if (!flush())
            return -1;
        buffer_start_ = position_;
        buffered_ = 0;
    }
    if (count >= capacity_) {
        if (!platform::write_at(fd_, bytes, count, position_)) {
            error_ = errno;
            return -1;
        }
    } else {
        std::memcpy(buffer_.get() + buffered_, bytes, count);
        buffered_ += count;
        dirty_ = true;
    }
    position_ += count;
    size_ = std::max(size_, position_);
    return static_cast<std::int64_t>(count);
}

std::uint64_t buffered_file::seek(std::int64_t offset, int whence)
{
    std::int64_t base = 0;
    if (whence == SEEK_CUR)
        base = static_cast<std::int64_t>(position_);
    else if (whence == SEEK_END)
        base = static_cast<std::int64_t>(size_);
    else if (whence != SEEK_SET) {
        errno = EINVAL;
        return static_cast<std::uint64_t>(-1);
    }
    if (offset < 0 && base + offset < 0) {
        errno = EINVAL;
        return static_cast<std::uint64_t>(-1);
    }
    position_ = static_cast<std::uint64_t>(base + offset);
    return position_;
}

std::uint64_t buffered_file::size() const { return size_; }

}  // namespace orvane
