// What a run refuses up front (no output directory, -s 0) and how many slice workers memory holds.
#include "run/option_checks.hpp"

#include "base/console.hpp"
#include "base/warnings.hpp"
#include "platform/platform.hpp"
#include "run/slice_loop.hpp"

#include <algorithm>
#include <iostream>
#include <string>

namespace orvane {

int refuse_options(const run_options& options)
{
    if (options.splitnumber == 0) {
        std::cerr << "orvane: the split number (-s) must not be 0\n" << std::flush;
        return exit_usage;
    }
    // An empty output directory would put stack1/ at the file-system root.
    if (options.outputdir.empty()) {
        std::cerr << "orvane: no output directory (-o) is given; pass -o . for the current "
                     "directory\n"
                  << std::flush;
        return exit_usage;
    }
    if (!options.voxel_size.empty() && !parse_voxel_size(options.voxel_size)) {
        std::cerr << "orvane: the voxel size (--voxel-size) '" << options.voxel_size
                  << "' is not three positive numbers X,Y,Z in micrometres\n"
                  << std::flush;
        return exit_usage;
    }
    return exit_ok;
}

bool reduced_copies_have_pixels(const acquisition& tiles, const mosaic_layout& layout,
                                std::int32_t downsample)
{
    if (downsample <= 1 || tiles.slice_count() <= 0)
        return true;
    const image_size reduced = layout.reduced(downsample);
    if (reduced.width > 0 && reduced.height > 0)
        return true;
    const image_size mosaic = layout.canvas();
    warn_once("reduced", "-d " + std::to_string(downsample) + " leaves no pixel of a " +
                             std::to_string(mosaic.width) + " \u00d7 " +
                             std::to_string(mosaic.height) +
                             " mosaic; no reduced copies are written");
    return false;
}

std::uint64_t worker_bytes(const slice_job& job, int threads)
{
    const image_size size = job.layout.canvas();
    const tile_size reference = job.tiles.reference();
    const auto canvas = static_cast<double>(size.width) * static_cast<double>(size.height) * 2;
    const double tile = static_cast<double>(reference.width) * reference.height * 2;
    const double factor = job.options.downsample;
    const bool reduced = job.options.downsample > 1 && job.reduced_has_pixels;
    // The encoder's strips, the tile reader's blocks and the thread's stacks.
    double bytes =
        canvas + (reduced ? canvas / (factor * factor) : 0) + tile * std::max(1, threads) + 32e6;
    if (job.volume) {
        // Levels 1 and 2 (the rest reuse their memory), each thread's chunk
        // and its compressed copy, and Blosc's header on every chunk.
        bytes += canvas * (1.0 / 4 + 1.0 / 16) + 2 * 2 * 1024.0 * 1024 * 2 * std::max(1, threads);
        const double encoded = canvas * 4 / 3 * 1.01;
        bytes += encoded * static_cast<double>(max_unfinished_slices + 1);
    }
    return static_cast<std::uint64_t>(bytes);
}

int bound_workers(const slice_job& job, int workers, int processors)
{
    // What the system, the page cache of the files being written and other
    // programs need is left aside: a worker too many is killed with the run.
    const double usable = static_cast<double>(platform::physical_memory()) * 0.85;
    if (usable <= 0 || workers <= 1)
        return workers;
    int fitting = workers;
    while (fitting > 1 &&
           static_cast<double>(fitting) *
                   static_cast<double>(worker_bytes(job, std::max(1, processors / fitting))) >
               usable)
        --fitting;
    if (fitting < workers)
        std::cerr << "orvane: making " << fitting << " slices at once instead of " << workers
                  << " (" << workers - fitting << " fewer): each holds up to "
                  << bytes_text(
                         static_cast<double>(worker_bytes(job, std::max(1, processors / fitting))))
                  << " and this computer has "
                  << bytes_text(static_cast<double>(platform::physical_memory())) << "\n"
                  << std::flush;
    return fitting;
}

}  // namespace orvane
