// The parallel loop over a run's slices.
#pragma once

#include "run/slice_plan.hpp"

#include <cstddef>
#include <vector>

namespace orvane {

// Written slices a worker may have syncing at once. Syncs usually take a
// few milliseconds, but a busy device or a network file system can take
// longer than making a slice.
constexpr std::size_t max_unfinished_slices = 4;

// Makes every slice of the plan on `workers` threads, printing each slice's
// lines; a worker's lines come in the order of its slices. A failing slice
// stops the slices after it from starting while those under way finish, so
// nothing is abandoned mid-write; then the failure of the lowest failing
// slice is thrown, whichever step of it failed.
void run_slices(const std::vector<planned_slice>& plan, const slice_job& job, int workers);

}  // namespace orvane
