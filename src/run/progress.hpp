// The progress line of a run: slices made of those to make, the rate and the time left.
#pragma once

#include "run/slice_plan.hpp"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace orvane {

// The line after `made` of `total` slices in `elapsed` seconds: the rate and
// the time left once a slice is made.
std::string progress_text(std::int64_t made, std::int64_t total, double elapsed);

// Keeps the progress line of a run's slices on standard error while it lives,
// when standard error is a terminal (a console on Windows) and there is a
// slice to make; otherwise it writes nothing at all, so logs and scripts see
// the lines they always did. Gone, it takes the line away.
class progress_line {
public:
    explicit progress_line(const std::vector<planned_slice>& plan);
    ~progress_line();
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;

    // Counts one slice in place; safe from many threads.
    void slice_made();

private:
    using clock = std::chrono::steady_clock;
    bool shown_ = false;
    std::int64_t total_ = 0;
    std::int64_t made_ = 0;
    clock::time_point start_;
    clock::time_point drawn_;
    std::mutex mutex_;
};

}  // namespace orvane
