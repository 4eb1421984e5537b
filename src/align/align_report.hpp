// What orvane-align prints: the table of pairs, the consensus with the orvane command to run, and
// the warnings about pairs, the fit and the sensor.
#pragma once

#include "align/align_options.hpp"
#include "align/consensus.hpp"
#include "align/sensor_pattern.hpp"
#include "align/survey.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace orvane::align {

// "orvane-align: warning: TEXT" on standard error.
void warn(const std::string& text);

// "0|1": the pair of tile columns p and p + 1.
std::string pair_name(std::size_t p);

// The table of each pair's overlap, shift, score and agreeing slices.
void print_table(const std::vector<pair_estimate>& pairs);

// What makes a pair's estimate doubtful: ambiguity, few or disagreeing
// slices, a low score, a place at the edge of the search.
void warn_about_pairs(const std::vector<pair_estimate>& pairs, const search_limits& limits);

// Pairs left out of the fit, and pairs that no one -x and -y can satisfy.
void warn_about_fit(const std::vector<pair_estimate>& pairs, const geometry_fit& fit);

// The consensus and the orvane command that uses it.
void print_fit(const align_options& options, const geometry_fit& fit, std::size_t pair_count);

// What the tiles share because it belongs to the camera was taken out
// before matching; the user should know that the sensor has it.
void warn_about_sensor(const sensor_pattern& pattern);

}  // namespace orvane::align
