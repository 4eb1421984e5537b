// What a run with seam corrections settles before any slice: the flat field, the record of the
// corrections in the output folder; and the report it rebuilds at its end.
#pragma once

#include "io/seam_record.hpp"
#include "mosaic/flat_field.hpp"
#include "mosaic/seamless.hpp"
#include "run/job.hpp"

#include <memory>
#include <optional>
#include <string>

namespace orvane {

// The corrections every slice of a run is made with, shared read-only.
struct seam_run {
    std::optional<flat_field> field;
    seam_settings settings;  // its flat field is `field`
    seam_record record;

    seam_run() = default;
    seam_run(const seam_run&) = delete;
    seam_run& operator=(const seam_run&) = delete;
};

// The flat field auto estimates into and reads from.
std::string flat_field_path(const std::string& outputdir);

// Settles the run's seam corrections before any slice: without any, only
// refuses a folder whose slices were made with some (none returned). With
// some, reads or estimates the flat field (the estimate written to the
// output folder once, whichever run or task gets there first), then writes or
// checks the folder's record. Throws what refuses the run.
std::unique_ptr<seam_run> prepare_seams(const slice_job& job, int threads);

// What prepare_seams would refuse about the folder's record, refused
// without writing anything, for a plan.
void refuse_seams_as_a_run_would(const slice_job& job);

// The record a folder holds, for a plan, which writes nothing; none when
// there is none or the run asks for no correction.
std::optional<seam_record> recorded_seams(const run_options& options);

// Rewrites the report from the rows of every done slice.
void finish_seam_report(const slice_job& job, const seam_run& seams);

}  // namespace orvane
