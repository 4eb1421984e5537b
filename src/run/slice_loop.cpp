// The slice loop: workers make slices while threads of their own sync and rename the ones before.
#include "run/slice_loop.hpp"

#include "base/parallel.hpp"
#include "run/progress.hpp"
#include "run/slice_job.hpp"

#include <deque>
#include <future>
#include <memory>
#include <system_error>
#include <utility>

namespace orvane {

namespace {

// One worker's written slices, each synced on a thread of its own (which
// mostly waits for the device) while the worker makes its next slice, then
// renamed into place and reported after the slice before it: the worker's
// lines keep their order. A failure elsewhere does not drop them: their
// files are complete.
class finishing_slices {
public:
    finishing_slices(loop_failures& failures, progress_line& progress)
        : failures_(failures), progress_(progress)
    {
    }
    ~finishing_slices() { finish_all(); }
    finishing_slices(const finishing_slices&) = delete;
    finishing_slices& operator=(const finishing_slices&) = delete;

    void add(std::unique_ptr<written_slice> written)
    {
        while (queue_.size() >= max_unfinished_slices)
            collect_oldest();
        const std::int32_t index = written->slice_index();
        std::shared_future<void> after =
            queue_.empty() ? std::shared_future<void>() : queue_.back().done;
        queue_.push_back({index, start(std::move(written), std::move(after))});
    }

    void finish_all()
    {
        while (!queue_.empty())
            collect_oldest();
    }

private:
    struct entry {
        std::int32_t slice_index;
        std::shared_future<void> done;
    };

    void collect_oldest()
    {
        const entry oldest = std::move(queue_.front());
        queue_.pop_front();
        failures_.complete(oldest.slice_index, [&] { oldest.done.get(); });
    }

    // Syncs the slice, waits until `after` is finished, then publishes it: on
    // a thread of its own, or right here when no thread can be started. The
    // future holds what finishing threw.
    std::shared_future<void> start(std::unique_ptr<written_slice> written,
                                   std::shared_future<void> after)
    {
        auto slice = std::shared_ptr<written_slice>(std::move(written));
        auto finish = [slice, after, &progress = progress_] {
            slice->sync();
            if (after.valid())
                after.wait();
            slice->publish();
            progress.slice_made();
        };
        try {
            return std::async(std::launch::async, finish).share();
        } catch (const std::system_error&) {
            std::promise<void> done;
            try {
                finish();
                done.set_value();
            } catch (...) {
                done.set_exception(std::current_exception());
            }
            return done.get_future().share();
        }
    }

    loop_failures& failures_;
    progress_line& progress_;
    std::deque<entry> queue_;
};

}  // namespace

void run_slices(const std::vector<planned_slice>& plan, const slice_job& job, int workers)
{
    loop_failures failures;
    progress_line progress(plan);
    // Slices are handed out one at a time: after a resume the slices still to
    // make may all sit at one end of the range, and a static split would give
    // them all to one worker.
    run_team(workers, [&](int) {
        finishing_slices finishing(failures, progress);
        share_loop(static_cast<std::int64_t>(plan.size()), loop_schedule::one_by_one, failures,
                   [&](std::int64_t k) {
                       const planned_slice& slice = plan[static_cast<std::size_t>(k)];
                       if (slice.action != slice_action::make) {
                           finishing.finish_all();  // its line comes after theirs
                           finish_unmade(slice, job);
                           return;
                       }
                       finishing.add(written_slice::write(slice, job));
                   });
        finishing.finish_all();
    });
    failures.rethrow_lowest();
}

}  // namespace orvane
