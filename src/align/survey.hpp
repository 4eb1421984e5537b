// Aligns each pair of neighbouring columns in the chosen slices, reading only the seams' bands.
#pragma once

#include "align/estimate.hpp"
#include "align/sensor_pattern.hpp"
#include "align/tiles.hpp"
#include "mosaic/flat_field.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace orvane::align {

struct survey_input {
    const acquisition* tiles = nullptr;  // every tile must have the reference size
    std::vector<std::int32_t> slices;    // the slices to look at
    search_limits limits;
    // Taken out of every tile before anything else when given; it stands
    // for the sensor's fall-off then, whose fit is not divided out.
    const flat_field* field = nullptr;
};

// A tile of another size than the reference: its pairs in that slice are
// not compared, since the stitcher would place it differently.
struct size_mismatch {
    std::string name;
    std::int32_t slice_index = 0;
    std::uint32_t width = 0, height = 0;
};

struct survey_result {
    // by_pair[p] holds one alignment per slice in which columns p and p + 1
    // could be compared, in the order of input.slices.
    std::vector<std::vector<alignment>> by_pair;
    std::vector<size_mismatch> mismatches;
    sensor_pattern pattern;  // taken out of every tile before matching
    // Where the fitted fall-off meets itself best, when it varies by
    // sensor_match_variation or more: dividing it out leaves a trace of it,
    // or lays its inverse on tiles that lack it, the same in every tile. A
    // slice that scored where the fall-off meets itself within
    // sensor_match_margin of that best is one the sensor can explain: it is
    // left out of by_pair, and explained[p] counts those of pair p.
    alignment sensor_place;
    std::vector<int> explained;
};

constexpr double sensor_match_variation = 0.01;
constexpr double sensor_match_margin = 0.05;

// First every tile of the chosen slices is read for the sensor pattern the
// tiles share, which is taken out of each before it is matched, after the
// flat field when there is one: the dead lines are found in the tiles as
// read, where they hold one value, and the field takes the fall-off's place. Then, per
// slice, the tiles are read twice, one at a time in column order: first
// for their bands next to each seam reduced for the phase correlation, then
// for the few full-resolution columns that the refinement needs. So a
// thread holds reduced bands and at most three narrow windows, never a
// tile. Slices run in parallel on OpenMP's threads. A tile that cannot be
// read ends the survey with the stitcher's error for it, the one of the
// lowest such slice.
survey_result survey_pairs(const survey_input& input);

// The size of a tile, read as the stitcher reads it; throws its errors.
tile_size read_tile_size(const std::string& name);

}  // namespace orvane::align
