// The program entry: echo, options, list, summary, reference tile, the slices.
#include "run/run_driver.hpp"

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/parallel.hpp"
#include "base/version.hpp"
#include "compat/library_conventions.hpp"
#include "io/coarse_levels.hpp"
#include "io/list_file.hpp"
#include "io/ome_zarr.hpp"
#include "io/output_file.hpp"
#include "io/tile_loader.hpp"
#include "mosaic/acquisition.hpp"
#include "mosaic/geometry.hpp"
#include "platform/platform.hpp"
#include "run/job.hpp"
#include "run/option_checks.hpp"
#include "run/options.hpp"
#include "run/seam_setup.hpp"
#include "run/slice_loop.hpp"
#include "run/slice_plan.hpp"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>

namespace orvane {

namespace {

void echo_command_line(const std::vector<std::string>& arguments)
{
    std::string echo;
    for (const std::string& argument : arguments)
        echo += argument + " ";
    write_output_line(echo);
}

void print_summary(const std::vector<std::string>& names, const run_options& options,
                   std::int32_t slice_count)
{
    write_output_line("origin file count is \t" + std::to_string(names.size()));
    write_output_line("the split number is \t" + std::to_string(options.splitnumber));
    write_output_line("the output image is \t" + std::to_string(slice_count));
    write_output_line("the xoffset is \t" + std::to_string(options.xoverlap));
    write_output_line("the yoffset is \t" + std::to_string(options.yoffset));
    write_output_line("the downsample is \t" + std::to_string(options.downsample));
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

// The layout of the volume --ome-zarr asks for, the same in every process
// of a run and in its plan: a volume already there in the planar form is
// finished in it, every other in the volumetric form.
volume_layout run_volume_layout(const slice_job& job, const std::optional<seam_record>& seams)
{
    const tile_size reference = job.layout.reference();
    const volume_geometry geometry{job.layout.columns(), job.layout.xoverlap(),
                                   job.layout.yoffset(), reference.width, reference.height};
    volume_layout layout = make_volume_layout(
        volume_name(job.options.ome_zarr), job.tiles.slice_count(), job.layout.canvas(),
        job.options.voxel, geometry, pyramid_form_at(job.options.ome_zarr));
    if (seams && seams->any())
        layout.seams = seam_record_text(*seams);
    return layout;
}

// The volume --ome-zarr asks for, its directory made and its metadata
// written or checked before any slice: none when not asked for or when there
// is no slice to put in it.
std::optional<volume_layout> prepare_run_volume(const run_options& options, const slice_job& job,
                                                const seam_run* seams)
{
    if (options.ome_zarr.empty() || job.tiles.slice_count() <= 0)
        return std::nullopt;
    std::optional<volume_layout> layout =
        run_volume_layout(job, seams ? std::optional<seam_record>(seams->record) : std::nullopt);
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
    remove_stale_temporaries(output_dir(job.options.outputdir, 1));
    if (job.options.downsample > 1)
        remove_stale_temporaries(output_dir(job.options.outputdir, job.options.downsample));

    const std::vector<planned_slice> plan = plan_slices(job);
    // A done slice whose volume planes are missing is assembled and
    // compressed as a slice to make is.
    const auto to_make = std::count_if(plan.begin(), plan.end(), [](const planned_slice& s) {
        return s.action == slice_action::make || s.planes_missing;
    });
    const int workers = bound_workers(
        job,
        static_cast<int>(std::max<std::int64_t>(1, std::min<std::int64_t>(processors, to_make))),
        processors);
    job.threads = std::max(1, processors / workers);
    run_slices(plan, job, workers);
}

void warn_if_no_slice_selected(const run_options& options, const acquisition& tiles)
{
    if (options.singlenum >= tiles.slice_count())
        std::cerr << "orvane: warning: slice index " << options.singlenum
                  << " (-j) is not below the slice count " << tiles.slice_count()
                  << ": no slice is produced\n"
                  << std::flush;
}

// Everything after the list is read: summary, reference tile, slices. Throws
// what ends the run.
int run_list(const run_options& options, std::vector<std::string> names)
{
    print_summary(names, options, count_slices(names.size(), options.splitnumber));

    const int processors = std::max(1, omp_get_max_threads());
    const tile_size reference = load_reference(names.front(), processors);
    const acquisition tiles(std::move(names), options.splitnumber, reference);
    const mosaic_layout layout(tiles, options.xoverlap, options.yoffset);
    refuse_unstitchable(tiles, layout, platform::physical_memory());
    slice_job job{tiles, layout, options, 1,
                  reduced_copies_have_pixels(tiles, layout, options.downsample)};
    const std::unique_ptr<seam_run> seams =
        tiles.slice_count() > 0 ? prepare_seams(job, processors) : nullptr;
    if (seams)
        job.seams = &seams->settings;
    const std::optional<volume_layout> volume = prepare_run_volume(options, job, seams.get());
    if (volume)
        job.volume = &*volume;
    warn_if_no_slice_selected(options, tiles);
    if (!seams) {
        make_slices(job, processors);
    } else {
        // The report holds every done slice's rows, after a failure too.
        try {
            make_slices(job, processors);
        } catch (...) {
            // The run's own failure is the one reported.
            try {
                finish_seam_report(job, *seams);
            } catch (...) {
            }
            throw;
        }
        finish_seam_report(job, *seams);
    }
    // Every run and task ends by making the blocks of the levels below the
    // first whose slices are all there now, its own and others'.
    if (volume)
        make_coarse_levels(options.ome_zarr, *volume, processors);
    return exit_ok;
}

// Whether --plan must look into a volume already at the --ome-zarr path:
// which chunks a slice has there depends on the mosaic's size.
bool plan_reads_volume(const run_options& options, std::size_t name_count)
{
    return !options.ome_zarr.empty() && count_slices(name_count, options.splitnumber) > 0 &&
           platform::status_of(options.ome_zarr).exists;
}

// Prints the plan of the run and makes nothing. The plan reads no tile but
// the first, and that one only to look into a volume already there: a
// submitting host need not reach them, and nothing else in it depends on
// their size.
int print_plan(const run_options& options, std::vector<std::string> names)
{
    if (options.outputdir.find_first_of("\t\r\n") != std::string::npos)
        throw error(failure_kind::usage, "",
                    "the output directory (-o) holds a tab or a line break, which --plan "
                    "cannot print");
    const bool reads_volume = plan_reads_volume(options, names.size());
    const tile_size reference = reads_volume ? load_tile_size(names.front()) : tile_size{};
    const acquisition tiles(std::move(names), options.splitnumber, reference);
    const mosaic_layout layout(tiles, options.xoverlap, options.yoffset);
    // A mosaic the run refuses has no volume layout to look for chunks by.
    if (reads_volume)
        refuse_unstitchable(tiles, layout, platform::physical_memory());
    slice_job job{tiles, layout, options};
    // A run with other seam corrections than the folder's slices is refused
    // before it makes anything, and so is the plan of one.
    refuse_seams_as_a_run_would(job);
    std::optional<volume_layout> volume;
    if (reads_volume) {
        volume = run_volume_layout(job, recorded_seams(options));
        job.volume = &*volume;
        // What the run would refuse, the plan refuses: an array of tasks
        // would each fail on it.
        check_volume(options.ome_zarr, *volume);
    }
    warn_if_no_slice_selected(options, tiles);
    std::cout << plan_text(look_at_slices(job)) << std::flush;
    return exit_ok;
}

// What a run with no names does: nothing, said in the plan's form with --plan.
int run_without_names(const run_options& options)
{
    if (!options.plan) {
        write_output_line("no list.txt!");
        return exit_ok;
    }
    std::cerr << "no list.txt!\n" << std::flush;
    std::cout << "slices\t0\n" << std::flush;
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
    platform::keep_awake();
    const std::vector<std::string> arguments = platform::utf8_arguments(argc, argv);
    std::vector<const char*> values;
    for (const std::string& argument : arguments)
        values.push_back(argument.c_str());
    run_options options = parse_options(static_cast<int>(values.size()), values.data());
    // A drive alone ("D:") names that drive's current directory, not its root.
    options.outputdir = platform::output_base(options.outputdir);
    if (options.help || options.version) {
        std::cout << (options.help ? help_text : version_line("orvane") + "\n") << std::flush;
        return exit_ok;
    }
    // With --plan, standard output holds the plan alone.
    if (!options.plan)
        echo_command_line(arguments);
    try {
        std::vector<std::string> names = read_list(options.list_path);
        if (names.empty())
            return run_without_names(options);
        refuse_options(options);
        if (options.plan)
            return print_plan(options, std::move(names));
        return run_list(options, std::move(names));
    } catch (const std::exception& e) {
        // Refused options end here too, with their own status.
        std::cerr << report_text(e, "orvane") << std::flush;
        const auto* own = dynamic_cast<const error*>(&e);
        return own && own->kind() == failure_kind::usage ? exit_usage : exit_failed;
    }
}

}  // namespace orvane
