// Option values that cannot make a run, found before any slice is made.
#pragma once

#include "mosaic/geometry.hpp"
#include "run/job.hpp"
#include "run/options.hpp"

#include <cstdint>

namespace orvane {

// Option values that make no run whatever the tiles: throws the usage error
// saying why, which the driver reports with exit_usage.
void refuse_options(const run_options& options);

// The part of it about the seam corrections: values of --flat-field,
// --register and --blend that make no run.
void refuse_seam_options(const run_options& options);

// Whether the reduced copies have any pixel; when -d leaves none, says so
// once and returns false.
bool reduced_copies_have_pixels(const acquisition& tiles, const mosaic_layout& layout,
                                std::int32_t downsample);

// The most memory one worker holds while it makes slices with `threads`
// threads: its canvas, reduced copy and tiles, the encoder's buffers, and
// with a volume the levels below the mosaic and the compressed chunks of the
// slices still syncing, counted as if nothing compressed.
std::uint64_t worker_bytes(const slice_job& job, int threads);

// How many of `workers` slice workers the memory holds at once, each with
// its share of the processors; when fewer, says so on standard error.
int bound_workers(const slice_job& job, int workers, int processors);

// The most memory the flat field estimate holds, before any slice worker
// starts: the overlap strips of every sampled tile, one slice's whole tiles,
// the field's float planes and the estimate's working buffers.
std::uint64_t flat_field_estimate_bytes(const slice_job& job);

// Refuses an estimate that the memory cannot hold, under the tightest of the
// process's limits, naming it: the run would be killed midway.
void refuse_unfitting_estimate(const slice_job& job, int processors);

}  // namespace orvane
