// What a run refuses up front (no output directory or volume path, -s 0, voxel sizes no file
// can hold) and how many slice workers memory holds.
#include "run/option_checks.hpp"

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/warnings.hpp"
#include "io/volume_layout.hpp"
#include "mosaic/flat_field_estimate.hpp"
#include "mosaic/seamless.hpp"
#include "platform/platform.hpp"
#include "run/memory_bound.hpp"
#include "run/slice_loop.hpp"

#include <algorithm>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace orvane {

namespace {

// The sizes every file can hold: TIFF resolution tags are 1/X and 1/Y
// pixels per micrometre as fractions of 32-bit integers (below 2^-32 the
// numerator is 0, above 2^32 the denominator), and the volume's scales and
// translations, up to 2^21 times larger, must stay finite numbers in JSON.
// A margin below those limits, as libtiff passes the value through a float.
constexpr double min_voxel_side = 1e-9, max_voxel_side = 1e9;
constexpr const char* voxel_size_bound_text = "1e-9 and 1e9";

bool voxel_side_writable(double side) { return side >= min_voxel_side && side <= max_voxel_side; }

bool voxel_size_writable(const voxel_size& voxel, std::int32_t downsample)
{
    const double factor = std::max(1, downsample);
    return voxel_side_writable(voxel.x) && voxel_side_writable(voxel.y) &&
           voxel_side_writable(voxel.z) && voxel_side_writable(voxel.x * factor) &&
           voxel_side_writable(voxel.y * factor);
}

}  // namespace

void refuse_options(const run_options& options)
{
    const auto refuse = [](std::string why) {
        throw error(failure_kind::usage, "", std::move(why));
    };
    if (options.splitnumber == 0)
        refuse("the split number (-s) must not be 0");
    // An empty output directory would put stack1/ at the file-system root.
    if (options.outputdir.empty())
        refuse("no output directory (-o) is given; pass -o . for the current directory");
    // An empty volume path would write no volume without a word.
    if (options.ome_zarr_given && options.ome_zarr.empty())
        refuse("no volume path (--ome-zarr) is given; leave the option out for no volume");
    if (!options.voxel_size.empty() && !options.voxel)
        refuse("the voxel size (--voxel-size) '" + options.voxel_size +
               "' is not three positive numbers X,Y,Z in micrometres");
    if (options.voxel && !voxel_size_writable(*options.voxel, options.downsample))
        refuse("the voxel size (--voxel-size) '" + options.voxel_size +
               "' cannot be written into the files: X, Y and Z must each lie between " +
               voxel_size_bound_text + " micrometres" +
               (options.downsample > 1
                    ? ", X and Y times -d " + std::to_string(options.downsample) + " too"
                    : std::string()));
    refuse_seam_options(options);
}

void refuse_seam_options(const run_options& options)
{
    const auto refuse = [](std::string why) {
        throw error(failure_kind::usage, "", std::move(why));
    };
    if (options.flat_field_given && options.flat_field.empty())
        refuse("no flat field (--flat-field) is given; pass auto to estimate it from the tiles, "
               "or leave the option out");
    for (const auto& [text, name] :
         {std::pair{&options.register_px, "registration range (--register)"},
          std::pair{&options.blend_px, "blend width (--blend)"}})
        if (!text->empty() && !parse_pixels(*text))
            refuse(std::string("the ") + name + " '" + *text +
                   "' is not a whole number of pixels, 0 or more");
    // A band wider than the overlap would blend pixels only one tile shows
    // with nothing; refused rather than narrowed, so that what a run records
    // is what it made.
    const std::int64_t overlap = 2 * std::int64_t{options.xoverlap};
    const seam_request request = seam_request_of(options);
    if (!options.blend_px.empty() && request.blend_px > std::max<std::int64_t>(0, overlap))
        refuse("the blend width (--blend) " + options.blend_px + " is wider than the overlap " +
               (overlap > 0 ? "of 2 * xoverlap = " + std::to_string(overlap) + " pixels (-x " +
                                  std::to_string(options.xoverlap) + ")"
                            : "(-x " + std::to_string(options.xoverlap) +
                                  " leaves the tiles none to blend in)"));
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
    if (job.seams) {
        // Every column's whole tile at once, instead of a tile per thread;
        // each thread's registration strips (at most 256 x 1024 floats, a few
        // planes of them and their transforms); the flat field's two float
        // planes, shared, counted with each worker.
        bytes += tile * std::max(0, job.layout.columns());
        if (job.seams->register_px > 0)
            bytes += 12.0 * 256 * 1024 * 4 * std::max(1, threads);
        if (job.seams->flat)
            bytes += tile * 4;
    }
    if (job.volume) {
        const volume_memory volume = job.volume->worker_memory(threads);
        bytes += volume.buffers;
        bytes += volume.encoded_slice * static_cast<double>(max_unfinished_slices + 1);
        // The finishing step runs after the workers, alone: it must fit where one does.
        bytes = std::max(bytes, volume.blocks);
    }
    return static_cast<std::uint64_t>(bytes);
}

int bound_workers(const slice_job& job, int workers, int processors)
{
    if (workers <= 1)
        return workers;
    // Measured here, after the runtime's threads have started: a limit on
    // mappings counts their stacks and everything loaded so far.
    const process_memory process = process_memory_now(processors);
    const worker_fit fit =
        tightest_fit(process_memory_limits(), process, workers, [&](int fitting) {
            return static_cast<double>(worker_bytes(job, std::max(1, processors / fitting)));
        });
    if (fit.workers < workers)
        std::cerr << "orvane: making " << fit.workers << " slices at once instead of " << workers
                  << " (" << workers - fit.workers << " fewer): each holds up to "
                  << bytes_text(fit.worker_bytes) << " and "
                  << limit_words(fit.limit, process, fit.workers) << "\n"
                  << std::flush;
    return fit.workers;
}

std::uint64_t flat_field_estimate_bytes(const slice_job& job)
{
    const tile_size reference = job.tiles.reference();
    const double tile = static_cast<double>(reference.width) * reference.height * 2;
    const auto sampled = static_cast<double>(flat_field_slices(job.tiles.slice_count()).size());
    const auto columns = static_cast<double>(std::max(0, job.layout.columns()));
    const double kept =
        static_cast<double>(flat_field_kept_columns(job.layout)) * reference.height * 2;
    // The strips, one slice's tiles as 16-bit pixels, the dark field's
    // working copy and the field's two planes as floats, two tiles' worth
    // each, and the fixed share the workers count too.
    return static_cast<std::uint64_t>(sampled * columns * kept + columns * tile + 3 * 2 * tile +
                                      32e6);
}

void refuse_unfitting_estimate(const slice_job& job, int processors)
{
    // The estimate runs alone, before the slices: a peak of its own, held
    // against what one worker may use.
    const double bytes = static_cast<double>(flat_field_estimate_bytes(job));
    const process_memory process = process_memory_now(processors);
    for (const memory_limit& limit : process_memory_limits())
        if (bytes > usable_bytes(limit, process, 1))
            throw error(failure_kind::usage, "",
                        "the flat field estimate (--flat-field auto) keeps the overlaps of " +
                            std::to_string(flat_field_slices(job.tiles.slice_count()).size()) +
                            " slices' tiles, up to " + bytes_text(bytes) + ", and " +
                            limit_words(limit, process, 1) +
                            "; give a measured flat field with --flat-field FILE, or run where "
                            "more memory is free");
}

}  // namespace orvane
