// The report of a seam-corrected run: each slice's seams in a file of its own, gathered into
// OUTDIR/seams.csv and the picture OUTDIR/seams.svg.
#pragma once

#include "mosaic/seamless.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvane {

// One row of the report: a seam of a slice.
struct seam_row {
    std::int32_t slice = 0;
    seam_measure seam;
};

// The header line of seams.csv.
extern const char* const seam_rows_header;

// The rows of one slice as CSV lines (no header), numbers in the C locale.
std::string seam_rows_text(std::int32_t slice, const std::vector<seam_measure>& seams);

// Commits slice's rows under the output folder's seams/ directory, whole or
// not at all, replacing what a run stopped before it finished the slice left.
void commit_seam_rows(const std::string& outputdir, std::int32_t slice,
                      const std::vector<seam_measure>& seams);

// Whether slice's rows are under the output folder's seams/ directory: a
// slice made with seam corrections has them before its TIFF is in place.
bool seam_rows_exist(const std::string& outputdir, std::int32_t slice);

// Rewrites OUTDIR/seams.csv and OUTDIR/seams.svg from the rows of every
// slice kept(slice) says is done, each file committed whole. Runs and tasks
// ending at once each rewrite them; each looks again after its commit and
// writes again while what it finds has changed, so the last to write leaves
// every done slice's rows. registered: unreliable matches are marked.
void rebuild_seam_report(const std::string& outputdir,
                         const std::function<bool(std::int32_t)>& kept, bool registered);

// The picture of the rows (sorted by slice): shifts and gains along the
// stack, unreliable slices marked when registered.
std::string seam_picture(const std::vector<seam_row>& rows, bool registered);

}  // namespace orvane
