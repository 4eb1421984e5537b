// The plan of a run's slices: for every index, its files and whether it is skipped, done (its
// volume planes too) or to be made.
#pragma once

#include "io/output_file.hpp"  // make_dirs, refuse_directory
#include "run/job.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

enum class slice_action {
    skip,  // left out by -j: its index is printed with " skip!"
    done,  // its full-resolution file exists: the path is printed with " done!"
    make,  // assembled and written
};

struct planned_slice {
    std::int32_t index = 0;
    slice_action action = slice_action::make;
    std::string full_path;      // with the two slashes it is printed with (skipped slices too)
    std::string reduced_dir;    // made for every slice that is made, whatever the factor
    std::string reduced_path;   // the same as full_path when the factor is 1
    bool reduced_made = false;  // whether a reduced file is written
    // Done, but with --ome-zarr not every chunk of its planes is in the volume:
    // the run makes them from the tiles and reports the slice done.
    bool planes_missing = false;
    // Done, its own chunks and staged data in the volume, but a chunk below
    // level 0 that covers it is not yet made (it waits for other slices, or
    // for a run to finish it): the volume is not finished there.
    bool coarse_pending = false;
    // A level of the full-resolution directory that could not be made, and why.
    std::string unmade_dir, unmade_reason;
};

// What the run does with slice k. Makes the full-resolution directory first
// (when the slice is selected), so the existence test sees what is there.
planned_slice plan_slice(std::int32_t slice_index, const slice_job& job);

// The plan of every slice, in index order, the full-resolution directory
// made once for all of them.
std::vector<planned_slice> plan_slices(const slice_job& job);

// The same plan as it stands, making nothing: a slice whose directory is
// missing is to be made. With --ome-zarr and no volume layout in the job
// (no volume there yet) every done slice's planes are missing.
std::vector<planned_slice> look_at_slices(const slice_job& job);

// The plan as scripts read it: "slices<TAB>N", then one line per slice:
// its index, its state (skip, done, planes: done but its volume planes
// missing, pending: done with its planes, but chunks of the volume's
// levels below the first that cover it not yet made, or make), its
// full-resolution path and
// its reduced path (empty when no reduced copy is written), tab-separated,
// each line ending in LF.
std::string plan_text(const std::vector<planned_slice>& plan);

// "zstackds_" + factor + "_" + four-digit index + ".tif"
std::string output_name(std::int32_t factor, std::int32_t slice_index);

// Whether the slice whose full-resolution file is full_path is done: anything
// at that name, a file or a directory, counts.
bool slice_done(const std::string& full_path);

}  // namespace orvane
