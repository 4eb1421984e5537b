// The flat field and the record of the seam corrections, settled once per run, and the report
// gathered at its end.
#include "run/seam_setup.hpp"

#include "base/error.hpp"
#include "compat/library_conventions.hpp"
#include "io/flat_field_file.hpp"
#include "io/output_file.hpp"
#include "io/seam_report.hpp"
#include "io/tile_loader.hpp"
#include "mosaic/flat_field_estimate.hpp"
#include "platform/platform.hpp"
#include "run/option_checks.hpp"
#include "run/slice_plan.hpp"

#include <cerrno>

namespace orvane {

namespace {

// Whether the full-resolution folder holds any slice of this acquisition;
// with plain_only, any made without seam corrections, which has no rows in
// the report's directory.
bool holds_slices(const slice_job& job, bool plain_only = false)
{
    const std::string dir = output_dir(job.options.outputdir, 1);
    for (std::int32_t k = 0; k < job.tiles.slice_count(); ++k)
        if (slice_done(output_path(dir, output_name(1, k))) &&
            !(plain_only && seam_rows_exist(job.options.outputdir, k)))
            return true;
    return false;
}

// The record of the corrections the options ask for, the flat field's
// identity not yet known.
seam_record requested_record(const run_options& options)
{
    const seam_request request = seam_request_of(options);
    seam_record record;
    record.match_gain = request.match_gain;
    record.register_px = request.register_px;
    record.blend_px = request.blend_px;
    record.flat_field = request.flat_field.empty()     ? ""
                        : request.flat_field == "auto" ? "auto"
                                                       : "file";
    return record;
}

// Estimates the field from the tiles of the slices the estimate samples,
// as read, before the flip, one slice's tiles at a time.
flat_field estimate(const slice_job& job, int threads)
{
    const std::vector<std::int64_t> slices = flat_field_slices(job.tiles.slice_count());
    return estimate_flat_field(
        slices.size(),
        [&](std::size_t i, std::int32_t j, image_buffer& buffer) -> const image* {
            load_tile(job.tiles.tile_name(j, static_cast<std::int32_t>(slices[i])), buffer);
            return &buffer.pixels();
        },
        job.layout, threads);
}

// Refuses slices without rows in seams/ beside a record of corrections.
void refuse_slices_beside_record(const slice_job& job, const seam_record& record)
{
    const std::string& outputdir = job.options.outputdir;
    if (holds_slices(job, true))
        throw error(failure_kind::usage, "",
                    "'" + outputdir +
                        "': slices made without seam corrections were put here beside the "
                        "record of " +
                        describe(record) + " in '" + seam_record_path(outputdir) +
                        "' (a run without them started alongside one with them); remove "
                        "either and make the slices again");
}

}  // namespace

std::string flat_field_path(const std::string& outputdir) { return outputdir + "/flatfield.tif"; }

std::unique_ptr<seam_run> prepare_seams(const slice_job& job, int threads)
{
    const run_options& options = job.options;
    const seam_request request = seam_request_of(options);
    if (!request.any()) {
        settle_seam_record(options.outputdir, seam_record{}, false);
        return nullptr;
    }
    auto run = std::make_unique<seam_run>();
    seam_record& record = run->record;
    record = requested_record(options);
    // Slices made without corrections are refused before anything is written.
    const bool unrecorded_slices =
        !platform::status_of(seam_record_path(options.outputdir)).exists && holds_slices(job);
    if (unrecorded_slices)
        settle_seam_record(options.outputdir, record, true);
    // A record of other corrections is refused before a flat field is
    // estimated into the folder; the field's identity is compared once known.
    if (const std::optional<seam_record> there =
            read_seam_record(seam_record_path(options.outputdir))) {
        seam_record early = record;
        early.flat_field_identity = there->flat_field_identity;
        settle_seam_record(options.outputdir, early, false);
        refuse_slices_beside_record(job, early);
    }
    std::string unmade;
    if (!make_dirs(options.outputdir + "/", &unmade))
        refuse_directory(unmade, platform::error_text(errno));
    remove_stale_temporaries(options.outputdir);

    const tile_size tile = job.layout.reference();
    if (request.flat_field == "auto") {
        const std::string path = flat_field_path(options.outputdir);
        if (!platform::status_of(path).exists) {
            refuse_unfitting_estimate(job, threads);
            const flat_field estimated = estimate(job, threads);
            output_file file(path);
            file.hold(write_flat_field(file.temp_path(), estimated));
            file.commit_new();
        }
        // Read back whatever is there: of tasks estimating at once, all use
        // the one file that was put in place.
        run->field = read_flat_field(path, tile);
    } else if (!request.flat_field.empty()) {
        run->field = read_flat_field(request.flat_field, tile);
    }
    if (run->field)
        record.flat_field_identity = flat_field_identity(*run->field);
    settle_seam_record(options.outputdir, record, unrecorded_slices);
    // A run without corrections that found no record when it started may
    // have put slices in place since; such slices have no rows in seams/,
    // which every corrected slice has before its TIFF. That run looks for the
    // record after every slice it puts in place and takes the slice back when
    // it finds one; what it put in place before the record was, is seen here,
    // by this run and by every later one, which the record alone would let in.
    refuse_slices_beside_record(job, record);

    run->settings.flat = run->field ? &*run->field : nullptr;
    run->settings.match_gain = record.match_gain;
    run->settings.register_px = record.register_px;
    run->settings.blend_px = record.blend_px;
    return run;
}

void refuse_seams_as_a_run_would(const slice_job& job)
{
    const run_options& options = job.options;
    const seam_record record = requested_record(options);
    if (!record.any()) {
        settle_seam_record(options.outputdir, record, false);  // writes nothing
        return;
    }
    const std::optional<seam_record> there = read_seam_record(seam_record_path(options.outputdir));
    if (!there) {
        if (holds_slices(job))
            refuse_plain_slices(options.outputdir, record);
        return;
    }
    // The field's identity is known only once the run reads or estimates it.
    seam_record known = record;
    known.flat_field_identity = there->flat_field_identity;
    settle_seam_record(options.outputdir, known, false);  // there: only compared
    refuse_slices_beside_record(job, known);
}

std::optional<seam_record> recorded_seams(const run_options& options)
{
    if (!seam_request_of(options).any())
        return std::nullopt;
    return read_seam_record(seam_record_path(options.outputdir));
}

void finish_seam_report(const slice_job& job, const seam_run& seams)
{
    const std::string dir = output_dir(job.options.outputdir, 1);
    rebuild_seam_report(
        job.options.outputdir,
        [&](std::int32_t k) {
            return k < job.tiles.slice_count() && slice_done(output_path(dir, output_name(1, k)));
        },
        seams.record.register_px > 0);
}

}  // namespace orvane
