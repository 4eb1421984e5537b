// What a caller needs to produce slices: the shared read-only inputs and process_slice.
#pragma once

#include <cstdint>
#include <exception>
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
