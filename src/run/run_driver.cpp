// The program entry: echo, options, list, summary, reference tile, the slices.
#include "run/run_driver.hpp"

#include "base/parallel.hpp"
#include "compat/library_conventions.hpp"
#include "io/ome_zarr.hpp"
#include "io/output_file.hpp"
#include "io/tile_loader.hpp"
#include "platform/platform.hpp"
#include "run/list_file.hpp"
#include "run/option_checks.hpp"
#include "run/options.hpp"
#include "run/slice_job.hpp"
#include "run/slice_loop.hpp"
#include "run/slice_plan.hpp"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iostream>
#include <optional>

namespace orvane {

namespace {

void echo_command_line(const std::vector<std::string>& arguments)
{
    std::string echo;
    for (const std::string& argument : arguments)
        echo += argument + " ";
    print_line(echo);
}

void print_summary(const std::vector<std::string>& names, const run_options& options,
                   std::int32_t slice_count)
{
    print_line("origin file count is \t" + std::to_string(names.size()));
    print_line("the split number is \t" + std::to_string(options.splitnumber));
    print_line("the output image is \t" + std::to_string(slice_count));
    print_line("the xoffset is \t" + std::to_string(options.xoverlap));
    print_line("the yoffset is \t" + std::to_string(options.yoffset));
    print_line("the downsample is \t" + std::to_string(options.downsample));
}

// Reads the reference tile while the worker threads start: on some machines
// a new thread can wait milliseconds for its first turn on a processor (the
// one its creator spins on), and later teams reuse these threads.
tile_size load_reference(const std::string& name, int processors)
{
    tile_size reference;
    loop_failures failures;
    run_team(processors, [&](int thread) {
        if (thread == 0)
            failures.attempt(0, [&] { reference = load_tile_size(name); });
    });
    failures.rethrow_lowest();
    return reference;
}

// The inputs every slice shares.
slice_job make_job(const run_options& options, const std::vector<std::string>& names,
                   std::int32_t slice_count, tile_size reference)
{
    slice_job job;
    job.width = reference.width;
    job.height = reference.height;
    job.names = &names;
    job.slice_count = slice_count;
    job.singlenum = options.singlenum;
    job.downsample = options.downsample;
    job.yoffset = options.yoffset;
    job.xoverlap = options.xoverlap;
    job.splitnumber = options.splitnumber;
    job.outputdir = options.outputdir;
    job.reduced_has_pixels = reduced_copies_have_pixels(options, slice_count, reference);
    job.voxel = parse_voxel_size(options.voxel_size);
    return job;
}

// The volume's name in its metadata: the last part of its path, without the
// format's extension. Every process of a run is given the same path.
std::string volume_name(std::string path)
{
    while (path.size() > 1 && platform::is_separator(path.back()))
        path.pop_back();
    std::size_t start = path.size();
    while (start > 0 && !platform::is_separator(path[start - 1]))
        --start;
    std::string name = path.substr(start);
    for (const std::string extension : {".zarr", ".ome"})
        if (name.size() > extension.size() &&
            name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
            name.erase(name.size() - extension.size());
    return name;
}

// The volume --ome-zarr asks for, its directory made and its metadata
// written or checked before any slice: none when not asked for or when there
// is no slice to put in it.
std::optional<volume_layout> prepare_run_volume(const run_options& options, const slice_job& job)
{
    if (options.ome_zarr.empty() || job.slice_count <= 0)
        return std::nullopt;
    std::optional<volume_layout> layout = make_volume_layout(
        volume_name(options.ome_zarr), job.slice_count, canvas_size(job), job.voxel);
    std::string unmade;
    if (!make_dirs(options.ome_zarr + "/", &unmade))
        refuse_directory(unmade, platform::error_text(errno));
    prepare_volume(options.ome_zarr, *layout);
    return layout;
}

// Makes the slices of the plan. With fewer slices to make than processors
// (one slice with -j, the end of a resumed run), each slice spreads its own
// work over the spare ones.
void make_slices(slice_job& job, int processors)
{
    // Leftovers of a killed run are never taken for outputs, but they take space.
    remove_stale_temporaries(output_dir(job.outputdir, 1));
    if (job.downsample > 1)
        remove_stale_temporaries(output_dir(job.outputdir, job.downsample));

    const std::vector<planned_slice> plan = plan_slices(job);
    const auto to_make = std::count_if(plan.begin(), plan.end(), [](const planned_slice& s) {
        return s.action == slice_action::make;
    });
    const int workers = bound_workers(
        job,
        static_cast<int>(std::max<std::int64_t>(1, std::min<std::int64_t>(processors, to_make))),
        processors);
    job.threads = std::max(1, processors / workers);
    run_slices(plan, job, workers);
}

// Everything after the list is read: summary, reference tile, slices. Throws
// what ends the run.
int run_list(const run_options& options, const std::vector<std::string>& names)
{
    const std::int32_t slice_count = count_slices(names.size(), options.splitnumber);
    print_summary(names, options, slice_count);

    const int processors = std::max(1, omp_get_max_threads());
    const tile_size reference = load_reference(names.front(), processors);
    if (const int status = refuse_geometry(options, slice_count, reference); status != exit_ok)
        return status;
    slice_job job = make_job(options, names, slice_count, reference);
    const std::optional<volume_layout> volume = prepare_run_volume(options, job);
    if (volume) {
        job.volume_path = options.ome_zarr;
        job.volume = &*volume;
    }
    if (options.singlenum >= slice_count)
        std::cerr << "orvane: warning: slice index " << options.singlenum
                  << " (-j) is not below the slice count " << slice_count
                  << ": no slice is produced\n"
                  << std::flush;
    make_slices(job, processors);
    return exit_ok;
}

}  // namespace

int run_driver(int argc, const char* const* argv)
{
    if (argc < 2) {
        std::cerr << usage_text << std::flush;
        return exit_usage;
    }
    configure_image_library();
    platform::report_file_size_limit_as_error();
    platform::prepare_console();
    const std::vector<std::string> arguments = platform::utf8_arguments(argc, argv);
    echo_command_line(arguments);

    std::vector<const char*> values;
    for (const std::string& argument : arguments)
        values.push_back(argument.c_str());
    const run_options options = parse_options(static_cast<int>(values.size()), values.data());
    try {
        const std::vector<std::string> names = read_list(options.list_path);
        if (names.empty()) {
            print_line("no list.txt!");
            return exit_ok;
        }
        if (const int status = refuse_options(options); status != exit_ok)
            return status;
        return run_list(options, names);
    } catch (const std::exception& e) {
        std::cerr << report_text(e) << std::flush;
        return exit_failed;
    }
}

}  // namespace orvane
