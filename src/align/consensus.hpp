// From per-slice alignments to one per pair of columns, and from those to the stitcher's -x and -y.
#pragma once

#include "align/estimate.hpp"

#include <vector>

namespace orvane::align {

// Below this cross-correlation a slice's alignment is not taken: blank or
// dark tiles, or an overlap without structure, score near 0.
constexpr double min_score = 0.3;

// What the examined slices say about one pair of neighbouring columns.
struct pair_estimate {
    bool found = false;  // some slice scored at least min_score
    int overlap = 0;
    int shift = 0;
    double score = 0.0;  // median over the agreeing slices; else the best seen
    int agreeing = 0;    // slices giving exactly this overlap and shift
    int usable = 0;      // slices scoring at least min_score
    int examined = 0;    // slices whose two tiles could be compared
    bool at_edge = false;
    int ambiguous = 0;            // slices scoring well at two places far apart
    alignment ambiguity;          // the best scored of them, with its rival place
    bool only_ambiguous = false;  // no estimate because of them
};

// The most frequent alignment among the slices that score well (ties: the
// higher total score). Ambiguous slices do not vote; where they make the
// winner's slices no majority of all that scored, the pair has no estimate:
// the winner could be one of the places they cannot tell apart.
pair_estimate combine_slices(const std::vector<alignment>& slices);

// One xoverlap and yoffset for all pairs.
struct geometry_fit {
    bool found = false;
    double mean_overlap = 0.0;  // over the pairs used
    int overlap = 0;            // mean_overlap rounded, ties down
    bool odd = false;           // then xoverlap = (overlap - 1) / 2
    int xoverlap = 0;
    int yoffset = 0;
    std::vector<int> used;      // the pairs the fit rests on
    std::vector<int> left_out;  // pairs far from the group the fit rests on
    int overlap_spread = 0;     // largest minus smallest over every found pair
    int shift_spread = 0;
};

// Least squares over the found pairs: the overlap and the shift whose squared
// distances to the pairs' add up least (their means, rounded: the overlap's
// ties down, the shift's towards 0). xoverlap is half the overlap; an odd one
// is rounded down, so one column of each seam shows twice rather than one
// being lost. Only the largest group of pairs that agree within 2 px takes
// part (largest in the slices behind it), so pairs that went wrong while
// most agree leave the fit as it was.
geometry_fit fit_geometry(const std::vector<pair_estimate>& pairs);

}  // namespace orvane::align
