// The progress line's rate and time left.
#include "run/progress.hpp"

#include <gtest/gtest.h>

namespace {

using orvane::progress_text;

// The time left is what the slices still to make take at the rate so far,
// rounded up, so the line never says a second less than the run needs.
TEST(ProgressText, TimeLeftIsTheRemainingSlicesAtTheRateSoFar)
{
    EXPECT_EQ(progress_text(0, 12, 0), "orvane: 0 of 12 slices made");
    EXPECT_EQ(progress_text(0, 12, 5), "orvane: 0 of 12 slices made");
    EXPECT_EQ(progress_text(3, 12, 2), "orvane: 3 of 12 slices made, 1.5 slices/s, 0:06 left");
    EXPECT_EQ(progress_text(12, 12, 8), "orvane: 12 of 12 slices made, 1.5 slices/s, 0:00 left");
    EXPECT_EQ(progress_text(1, 3, 0.7), "orvane: 1 of 3 slices made, 1.4 slices/s, 0:02 left");
}

// Slow slices, as on a large acquisition, still show a rate that is not
// 0.0, and hours once the time left reaches one.
TEST(ProgressText, SlowRunsGiveRatesPerMinuteOrHourAndHoursLeft)
{
    EXPECT_EQ(progress_text(2, 100, 60),
              "orvane: 2 of 100 slices made, 2.0 slices/min, 49:00 left");
    EXPECT_EQ(progress_text(10, 1000, 600),
              "orvane: 10 of 1000 slices made, 1.0 slices/min, 16:30:00 left");
    EXPECT_EQ(progress_text(1, 5, 3600 * 2),
              "orvane: 1 of 5 slices made, 0.5 slices/h, 8:00:00 left");
}

}  // namespace
