// Output names and directories, the resume test, and the plan of a run's slices.
#include "run/slice_plan.hpp"

#include "compat/library_conventions.hpp"
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

bool make_dirs(const std::string& path)
{
    std::string prefix;
    std::string segment;
    for (std::size_t i = 0; i < path.size(); ++i) {
        segment += path[i];
        if (path[i] != '/' && i + 1 != path.size())
            continue;
        prefix += segment;
        segment.clear();
        if (platform::status_of(prefix).exists)
            continue;
        // Another worker may make the same directory between our test and our
        // mkdir; that is as good as making it ourselves.
        if (!platform::make_directory(prefix) && errno != EEXIST)
            return false;
    }
    return true;
}

planned_slice plan_slice(std::int32_t slice_index, const slice_job& job)
{
    planned_slice slice;
    slice.index = slice_index;
    if (job.singlenum >= 0 && job.singlenum != slice_index) {
        slice.action = slice_action::skip;
        return slice;
    }
    const std::string full_dir = output_dir(job.outputdir, 1);
    make_dirs(full_dir);
    slice.full_path = output_path(full_dir, output_name(1, slice_index));
    slice.reduced_dir = output_dir(job.outputdir, job.downsample);
    slice.reduced_path = output_path(slice.reduced_dir, output_name(job.downsample, slice_index));
    slice.reduced_made = job.downsample > 1;
    slice.action = slice_done(slice.full_path) ? slice_action::done : slice_action::make;
    return slice;
}

std::vector<planned_slice> plan_slices(const slice_job& job)
{
    std::vector<planned_slice> plan;
    plan.reserve(static_cast<std::size_t>(std::max(0, job.slice_count)));
    for (std::int32_t slice_index = 0; slice_index < job.slice_count; ++slice_index)
        plan.push_back(plan_slice(slice_index, job));
    return plan;
}

}  // namespace orvane
