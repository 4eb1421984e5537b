// Parallel loops that never let an exception leave a team: every failure is
// caught and recorded, a failure stops the iterations above it, and the
// lowest failing index is reported.
#pragma once

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>

namespace orvane {

// The failures of one parallel loop. An exception that leaves an OpenMP
// region ends the process (std::terminate, no destructors, no message), so
// every iteration runs through attempt().
class loop_failures {
public:
    // Whether an iteration has failed.
    bool stopped() const { return lowest_failed_.load(std::memory_order_relaxed) != none; }

    void record(std::int64_t index, std::exception_ptr failure)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!lowest_ || index < lowest_index_) {
            lowest_ = std::move(failure);
            lowest_index_ = index;
            lowest_failed_ = index;
        }
    }

    // Runs work() for iteration index unless an iteration below it has
    // failed; records what it throws. Iterations below the lowest failure
    // still run, so the failure reported is the one a serial loop would meet
    // first, however the threads were timed.
    template <class Work> void attempt(std::int64_t index, Work&& work)
    {
        if (index > lowest_failed_.load(std::memory_order_relaxed))
            return;
        complete(index, work);
    }

    // Runs work() for an iteration already under way, whatever failed
    // meanwhile, and records what it throws: the end of work that was begun
    // (a file's sync or rename) must not lose its failure.
    template <class Work> void complete(std::int64_t index, Work&& work)
    {
        try {
            work();
        } catch (...) {
            record(index, std::current_exception());
        }
    }

    // Rethrows the failure of the lowest failing index, as a serial loop
    // would have met it first; nothing when every iteration succeeded.
    void rethrow_lowest() const
    {
        if (lowest_)
            std::rethrow_exception(lowest_);
    }

private:
    static constexpr std::int64_t none = INT64_MAX;
    std::mutex mutex_;
    std::atomic<std::int64_t> lowest_failed_{none};
    std::exception_ptr lowest_;
    std::int64_t lowest_index_ = 0;
};

// The threads a new team started here would really get. The program leaves
// nested parallelism as the runtime sets it (off by default), so a region
// opened inside a slice worker's region gets one thread unless the runtime
// was told otherwise; loops below ask here rather than assume it.
inline int team_size(int wanted)
{
    if (wanted <= 1 || omp_get_active_level() >= omp_get_max_active_levels())
        return 1;
    return wanted;
}

enum class loop_schedule {
    blocks,     // each thread one contiguous block, for iterations of equal cost
    one_by_one  // iterations handed out one at a time, for uneven ones
};

// Inside a team (run_team's work), shares [0, count) among its threads.
// Does not throw: failures go to the record.
template <class Body>
void share_loop(std::int64_t count, loop_schedule schedule, loop_failures& failures, Body&& body)
{
    if (schedule == loop_schedule::blocks) {
#pragma omp for schedule(static)
        for (std::int64_t i = 0; i < count; ++i)
            failures.attempt(i, [&] { body(i); });
    } else {
#pragma omp for schedule(dynamic, 1)
        for (std::int64_t i = 0; i < count; ++i)
            failures.attempt(i, [&] { body(i); });
    }
}

// Runs work(thread) on every thread of a team of team_size(threads), thread
// numbering them from 0, or once with thread 0 when that is one: then on the
// calling thread itself where it is in no team of several, so that the teams
// it opens later are first-level ones, whose threads the runtime keeps from
// one team to the next. Inside such a team, the one thread gets a team of its
// own, so that share_loop binds to it and not to the threads outside.
// work must not throw (use share_loop or attempt).
template <class Work> void run_team(int threads, Work&& work)
{
    const int team = team_size(threads);
    if (team == 1 && omp_get_num_threads() == 1) {
        work(0);
        return;
    }
#pragma omp parallel num_threads(team)
    work(omp_get_thread_num());
}

// body(i) for every i in [0, count) on up to `threads` threads. After a
// failure no new iteration starts; those under way finish. Throws the
// failure of the lowest failing index.
template <class Body>
void parallel_for(std::int64_t count, int threads, loop_schedule schedule, Body&& body)
{
    loop_failures failures;
    const int wanted =
        static_cast<int>(std::min<std::int64_t>(threads, std::max<std::int64_t>(count, 1)));
    if (team_size(wanted) == 1) {
        for (std::int64_t i = 0; i < count && !failures.stopped(); ++i)
            failures.attempt(i, [&] { body(i); });
    } else {
        run_team(wanted, [&](int) { share_loop(count, schedule, failures, body); });
    }
    failures.rethrow_lowest();
}

}  // namespace orvane
