// What every slice of a run reads from it: its two values, its options and what was decided once.
#pragma once

#include "mosaic/acquisition.hpp"
#include "mosaic/geometry.hpp"
#include "run/options.hpp"

namespace orvane {

struct volume_layout;
struct seam_settings;

// Everything a slice needs from the run, shared read-only by all workers:
// the two values of the run and its options (-o, -d, -j, --ome-zarr and the
// voxel size are read here).
struct slice_job {
    const acquisition& tiles;
    const mosaic_layout& layout;
    const run_options& options;
    int threads = 1;                 // threads one slice may use for its own work
    bool reduced_has_pixels = true;  // false when -d leaves no pixel of the mosaic
    // The --ome-zarr volume's layout, when there is one; --plan leaves it out
    // while no volume is at the path.
    const volume_layout* volume = nullptr;
    // The seam corrections every slice is made with; none: the plain mosaic.
    const seam_settings* seams = nullptr;
};

}  // namespace orvane
