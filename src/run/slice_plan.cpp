// Output names and directories, the resume test, and the plan of a run's slices.
#include "run/slice_plan.hpp"

#include "base/error.hpp"
#include "base/warnings.hpp"
#include "compat/library_conventions.hpp"
#include "io/coarse_levels.hpp"
#include "io/ome_zarr.hpp"
#include "io/tiff_check.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <iomanip>
#include <sstream>

namespace orvane {

std::string output_name(std::int32_t factor, std::int32_t slice_index)
{
    std::ostringstream name;
    name << "zstackds_" << factor << "_" << std::setw(4) << std::setfill('0') << slice_index
         << ".tif";
    return name.str();
}

bool slice_done(const std::string& full_path) { return platform::status_of(full_path).exists; }

namespace {

// Anything at a final name marks the slice done, a file put there on purpose
// too; but a file another program left cut short would never be made again
// without a word.
void warn_if_broken(const std::string& full_path)
{
    if (!platform::status_of(full_path).regular)
        return;
    const std::string damage = tiff_damage(full_path);
    if (damage.empty())
        return;
    // A file that cannot be read says nothing of its contents.
    const int fd = platform::open_for_reading(full_path);
    if (fd < 0) {
        warn_once("done:" + full_path, "'" + full_path + "' cannot be read (" +
                                           platform::error_text(errno) +
                                           "); its slice counts as done");
        return;
    }
    platform::close_file(fd);
    warn_once("done:" + full_path, "'" + full_path + "' is not a complete TIFF file (" + damage +
                                       "); its slice counts as done: remove the file to have "
                                       "the slice made again");
}

}  // namespace

namespace {

// The full-resolution directory, made for the slices of a plan: a level that
// could not be made, and why, when it failed.
struct full_directory {
    std::string path, unmade, reason;
};

full_directory unmade_full_directory(const slice_job& job)
{
    return {output_dir(job.options.outputdir, 1), {}, {}};
}

full_directory make_full_directory(const slice_job& job)
{
    full_directory dir = unmade_full_directory(job);
    if (!make_dirs(dir.path, &dir.unmade))
        dir.reason = platform::error_text(errno);
    return dir;
}

// Whether a done slice lacks chunks in the --ome-zarr volume, or has one
// that is not whole. A job with a volume path but no layout has no volume
// yet, so none of its planes. Unlike a TIFF, which may have been put there
// on purpose, a chunk is only ever this program's, and its slice's planes
// are made again from the tiles.
// Of a volumetric volume, a slice whose levels below the first are pending
// needs its staged data: without it (removed once the volume was whole,
// before a chunk went missing) the slice is made again too.
bool planes_missing(std::int32_t slice_index, const slice_job& job, bool coarse_pending)
{
    if (job.options.ome_zarr.empty())
        return false;
    if (!job.volume)
        return true;
    const planes_check check = check_volume_planes(job.options.ome_zarr, *job.volume, slice_index);
    if (!check.broken_chunk.empty())
        warn_once("chunk:" + check.broken_chunk,
                  "'" + check.broken_chunk + "' is not a complete Blosc chunk (" + check.damage +
                      "); the planes of slice " + std::to_string(slice_index) +
                      " are made again from its tiles");
    return !check.whole ||
           (coarse_pending && !slice_staged(job.options.ome_zarr, *job.volume, slice_index));
}

// Which slices the volume's levels below the first are not finished at.
std::vector<bool> pending_slices(const slice_job& job)
{
    if (job.options.ome_zarr.empty() || !job.volume)
        return {};
    // With -j only that slice's chunks: a task of an array of thousands
    // need not look at every chunk of the volume.
    return coarse_pending(job.options.ome_zarr, *job.volume, job.options.singlenum);
}

bool selected(std::int32_t slice_index, const slice_job& job)
{
    return job.options.singlenum < 0 || job.options.singlenum == slice_index;
}

planned_slice plan_in(std::int32_t slice_index, const slice_job& job, const full_directory& dir,
                      const std::vector<bool>& pending)
{
    const std::int32_t factor = job.options.downsample;
    planned_slice slice;
    slice.index = slice_index;
    slice.full_path = output_path(dir.path, output_name(1, slice_index));
    slice.reduced_dir = output_dir(job.options.outputdir, factor);
    slice.reduced_path = output_path(slice.reduced_dir, output_name(factor, slice_index));
    slice.reduced_made = factor > 1 && job.reduced_has_pixels;
    if (!selected(slice_index, job)) {
        slice.action = slice_action::skip;
        return slice;
    }
    slice.unmade_dir = dir.unmade;
    slice.unmade_reason = dir.reason;
    slice.action = slice_done(slice.full_path) ? slice_action::done : slice_action::make;
    if (slice.action == slice_action::done) {
        warn_if_broken(slice.full_path);
        const bool coarse = static_cast<std::size_t>(slice_index) < pending.size() &&
                            pending[static_cast<std::size_t>(slice_index)];
        slice.planes_missing = planes_missing(slice_index, job, coarse);
        slice.coarse_pending = coarse && !slice.planes_missing;
    }
    return slice;
}

std::vector<planned_slice> plan_with(const slice_job& job, const full_directory& dir)
{
    std::vector<planned_slice> plan;
    plan.reserve(static_cast<std::size_t>(std::max(0, job.tiles.slice_count())));
    const std::vector<bool> pending = pending_slices(job);
    for (std::int32_t slice_index = 0; slice_index < job.tiles.slice_count(); ++slice_index)
        plan.push_back(plan_in(slice_index, job, dir, pending));
    return plan;
}

}  // namespace

planned_slice plan_slice(std::int32_t slice_index, const slice_job& job)
{
    return plan_in(slice_index, job,
                   selected(slice_index, job) ? make_full_directory(job)
                                              : unmade_full_directory(job),
                   selected(slice_index, job) ? pending_slices(job) : std::vector<bool>());
}

std::vector<planned_slice> plan_slices(const slice_job& job)
{
    // The directory is made once for all, before any slice is tested; a run
    // that selects no slice makes none.
    const std::int32_t slice_count = job.tiles.slice_count();
    const bool any_selected = job.options.singlenum < slice_count;
    return plan_with(job, any_selected && slice_count > 0 ? make_full_directory(job)
                                                          : unmade_full_directory(job));
}

std::vector<planned_slice> look_at_slices(const slice_job& job)
{
    return plan_with(job, unmade_full_directory(job));
}

std::string plan_text(const std::vector<planned_slice>& plan)
{
    std::string text = "slices\t" + std::to_string(plan.size()) + "\n";
    for (const planned_slice& slice : plan) {
        const char* const state = slice.action == slice_action::skip   ? "skip"
                                  : slice.action == slice_action::make ? "make"
                                  : slice.planes_missing               ? "planes"
                                  : slice.coarse_pending               ? "pending"
                                                                       : "done";
        text += std::to_string(slice.index) + "\t" + state + "\t" + slice.full_path + "\t" +
                (slice.reduced_made ? slice.reduced_path : "") + "\n";
    }
    return text;
}

}  // namespace orvane
