// The progress line on a terminal's standard error.
#include "run/progress.hpp"

#include "base/console.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orvane {

namespace {

// Redraws come at most this often, however fast slices are made: each one is
// a write to the terminal.
constexpr std::chrono::milliseconds redraw_interval(200);

// The rate in the largest unit that keeps it at one or more.
std::string rate_text(double per_second)
{
    char text[32];
    if (per_second >= 1)
        std::snprintf(text, sizeof text, "%.1f slices/s", per_second);
    else if (per_second * 60 >= 1)
        std::snprintf(text, sizeof text, "%.1f slices/min", per_second * 60);
    else
        std::snprintf(text, sizeof text, "%.1f slices/h", per_second * 3600);
    return text;
}

// m:ss, or h:mm:ss from an hour on.
std::string duration_text(double seconds)
{
    const auto whole = static_cast<long long>(std::ceil(std::max(0.0, seconds)));
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

}  // namespace

std::string progress_text(std::int64_t made, std::int64_t total, double elapsed)
{
    std::string text =
        "orvane: " + std::to_string(made) + " of " + std::to_string(total) + " slices made";
    if (made == 0 || elapsed <= 0)
        return text;
    const double left = elapsed * static_cast<double>(total - made) / static_cast<double>(made);
    return text + ", " + rate_text(static_cast<double>(made) / elapsed) + ", " +
           duration_text(left) + " left";
}

progress_line::progress_line(const std::vector<planned_slice>& plan)
    : total_(std::count_if(plan.begin(), plan.end(),
                           [](const planned_slice& s) { return s.action == slice_action::make; })),
      start_(clock::now()), drawn_(start_)
{
    shown_ = total_ > 0 && platform::error_stream_is_terminal();
    if (shown_)
        show_status_line(progress_text(0, total_, 0));
}

progress_line::~progress_line()
{
    if (shown_)
        clear_status_line();
}

void progress_line::slice_made()
{
    if (!shown_)
        return;
    const std::lock_guard<std::mutex> lock(mutex_);
    ++made_;
    const clock::time_point now = clock::now();
    if (made_ < total_ && now - drawn_ < redraw_interval)
        return;
    drawn_ = now;
    show_status_line(
        progress_text(made_, total_, std::chrono::duration<double>(now - start_).count()));
}

}  // namespace orvane
