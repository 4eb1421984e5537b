// What a caller needs to produce slices: the shared read-only inputs and process_slice.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvane {

// Everything a slice needs from the run, shared read-only by all workers.
struct slice_job {
    std::uint32_t width = 0;  // reference tile width W
    std::uint32_t height = 0; // reference tile height H
    const std::vector<std::string>* names = nullptr;
    std::int32_t slice_count = 0;
    std::int32_t singlenum = -1;
    std::int32_t downsample = 1;
    std::int32_t yoffset = 0;
    std::int32_t xoverlap = 0;
    std::int32_t splitnumber = 4;
    std::string outputdir;
    int threads = 1;  // threads one slice may use for its own work
};

struct tile_size {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// An error in the image library's terms: its type name (empty when the error
// is not the library's) and its message.
struct image_error {
    std::string type;
    std::string message;
};

// Produces slice k: skip, report as done, or assemble, save and report.
// Throws on any failure; the caller decides how the run ends.
void process_slice(std::int32_t slice_index, const slice_job& job);

// The files of one slice, complete under their temporary names but perhaps
// not yet on the device.
class written_slice {
public:
    written_slice(std::int32_t slice_index, const std::string& full_path,
                  const std::string& reduced_path, bool reduced_made);
    ~written_slice();
    written_slice(const written_slice&) = delete;
    written_slice& operator=(const written_slice&) = delete;

    std::int32_t slice_index() const { return slice_index_; }

    // Waits until both files are on the device and closes them.
    void sync();
    // Renames both files into place (the reduced copy first: the
    // full-resolution file marks the slice done) and prints the slice's two
    // lines.
    void publish();
    // Both. Each throws on failure; files not yet in place are removed when
    // the object goes.
    void finish();

private:
    friend std::unique_ptr<written_slice> write_slice(std::int32_t, const slice_job&,
                                                      const std::function<void()>&);
    struct files;
    std::int32_t slice_index_;
    std::unique_ptr<files> files_;
};

// Produces slice k as process_slice does, but returns its files written and
// not yet synced or renamed (nullptr when the slice was skipped or already
// done), so the device writes them while the caller makes the next slice.
// finish_earlier runs before this call prints anything: there the caller
// finishes the slices it still holds, so that its lines keep their order.
std::unique_ptr<written_slice> write_slice(std::int32_t slice_index, const slice_job& job,
                                           const std::function<void()>& finish_earlier);

// Creates every missing directory along a '/'-separated path. A directory that
// appears while we try to create it counts as made.
bool make_dirs(const std::string& path);

// "zstackds_" + factor + "_" + four-digit index + ".tif"
std::string output_name(std::int32_t factor, std::int32_t slice_index);
// outputdir + "/stack" + factor + "/"
std::string output_dir(const std::string& outputdir, std::int32_t factor);
// The full-resolution file of a slice, with the two slashes it is printed with.
std::string full_resolution_path(const std::string& outputdir, std::int32_t slice_index);
// Whether the slice whose full-resolution file is full_path is done: anything
// at that name, a file or a directory, counts.
bool slice_done(const std::string& full_path);

// Loads a tile the way slices do and returns its size.
tile_size load_tile_size(const std::string& name);

// Sets the image library up for use from many threads: no report of its own
// (the caller reports), none of its own parallelism.
void configure_image_library();

// Classifies an exception the way the image library names its errors.
image_error describe_error(const std::exception& e);

} // namespace orvane
