// How two neighbouring flipped tiles meet: phase correlation, refined by cross-correlation.
#pragma once

#include "align/bands.hpp"

#include <vector>

namespace orvane::align {

// The meeting places searched, in full-resolution pixels.
struct search_limits {
    int min_overlap = 8;  // fewer columns hold too few pixels to trust
    int max_overlap = 0;
    int max_shift = 0;  // rows, up or down
};

// The right tile's leftmost `overlap` columns show the place the left tile's
// rightmost `overlap` columns show, and the right tile's row r shows what the
// left tile's row r + shift shows: the stitcher's -y is this shift, its -x
// half the overlap.
struct alignment {
    int overlap = 0;
    int shift = 0;
    double score = 0.0;    // normalised cross-correlation over the overlap, -1 ... 1
    bool found = false;    // false: the bands hold no structure to align
    bool at_edge = false;  // on a limit of the search, where the best may lie beyond
    // A place far from this one that scores nearly as well (a periodic
    // specimen, a column that repeats its neighbour): then the data cannot
    // tell the two apart, and the alignment is no estimate.
    bool ambiguous = false;
    int rival_overlap = 0;
    int rival_shift = 0;
    double rival_score = 0.0;
};

// A meeting place at one level of reduction, in that level's pixels.
struct candidate {
    int overlap = 0;
    int shift = 0;
    double score = 0.0;
};

// Normalised cross-correlation of left's rightmost `overlap` columns with
// right's leftmost, right's row r against left's row r + shift; 0 where either
// side is flat or nothing overlaps.
double overlap_ncc(const plane& left, const plane& right, int overlap, int shift);
double overlap_ncc(const pixels& left, const pixels& right, int overlap, int shift);

// The reduction at which bands of this size are phase-correlated: a power of
// two that brings them to at most 256 columns and 512 rows, as long as enough
// of them remains to correlate.
int coarse_factor(int band_columns, int height);

// First stage, on the left tile's right band and the right tile's left band,
// both reduced by `factor`: phase correlation of the whole bands and of
// narrower ones (where a small overlap is a larger part of the band) gives
// translations; each is scored by cross-correlation and the best few are
// returned, best first, in reduced pixels. Empty when the bands are flat.
std::vector<candidate> coarse_candidates(plane left, plane right, int factor,
                                         const search_limits& limits);

// Full-resolution columns each side must keep for the refinement of these
// candidates: a multiple of factor, at most `available`.
int refine_columns(const std::vector<candidate>& candidates, int factor, int available);

// Second stage: each candidate is followed down the levels of reduction to
// full resolution, moving to the best neighbouring place at each level until
// none is better; the best at full resolution wins, unless another ends far
// from it within rival_margin (then it is ambiguous). left is the left tile's
// rightmost columns, right the right tile's leftmost, refine_columns wide.
alignment refine(pixels left, pixels right, const std::vector<candidate>& candidates, int factor,
                 const search_limits& limits);

// The outlier calming both stages match their bands after.
using orvane::calmed;

// Both stages on two whole full-resolution bands.
alignment estimate_pair(const pixels& left, const pixels& right, const search_limits& limits);

}  // namespace orvane::align
