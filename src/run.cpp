// The program entry: echo, options, list, summary, reference tile, slice loop.
#include "run.hpp"

#include "slice/output_file.hpp"
#include "slice/slice_job.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <system_error>
#include <utility>

namespace orvane {

namespace {

const char* const usage_text =
    "Usage:\n  Orvane -i list.txt -s splitnumber -x xoverlap -y yoffset -d downsample -o outputdir "
    "-j singlenum \n"
    "          the default splitnumber is 4 \n"
    "          the default xoverlap is 0 \n"
    "          the default yoffset is 0 \n"
    "          the default downsample is 1 \n"
    "          the default singlenum is -1 \n";

struct slice_failure {
    std::int32_t slice_index;
    image_error error;
};

// The library's own report layout, so scripts that look for it keep working.
void report(const image_error& error)
{
    std::cerr << "\n[CImg] *** " << error.type << " *** " << error.message << "\n" << std::flush;
}

// Errors of the image library keep its layout; others say what failed.
void report_failure(const image_error& error, const std::string& what_failed)
{
    if (error.type.empty())
        std::cerr << "orvane: " << what_failed << ": " << error.message << "\n" << std::flush;
    else
        report(error);
}

void print_summary(const std::vector<std::string>& names, const run_options& options,
                   std::int32_t slice_count)
{
    std::cout << "origin file count is \t" << names.size() << "\n" << std::flush;
    std::cout << "the split number is \t" << options.splitnumber << "\n" << std::flush;
    std::cout << "the output image is \t" << slice_count << "\n" << std::flush;
    std::cout << "the xoffset is \t" << options.xoverlap << "\n" << std::flush;
    std::cout << "the yoffset is \t" << options.yoffset << "\n" << std::flush;
    std::cout << "the downsample is \t" << options.downsample << "\n" << std::flush;
}

// Slices that this run will really produce: selected and not yet on disk.
std::int32_t count_slices_to_make(const slice_job& job)
{
    std::int32_t count = 0;
    for (std::int32_t slice_index = 0; slice_index < job.slice_count; ++slice_index) {
        if (job.singlenum >= 0 && job.singlenum != slice_index)
            continue;
        if (!slice_done(full_resolution_path(job.outputdir, slice_index)))
            ++count;
    }
    return count;
}

// Finishes a written slice on a thread of its own, or right here when no
// thread can be started: syncs it, waits until `after` (the slice the same
// worker wrote before) is finished, then renames and prints. The future
// holds what finishing threw.
std::shared_future<void> finish_in_background(std::unique_ptr<written_slice> written,
                                              std::shared_future<void> after)
{
    auto slice = std::shared_ptr<written_slice>(std::move(written));
    auto finish = [slice, after] {
        slice->sync();
        if (after.valid())
            after.wait();
        slice->publish();
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

// Written slices a worker may have syncing at once. Syncs usually take a
// few milliseconds, but a busy device or a network file system can take
// longer than making a slice.
constexpr std::size_t max_unfinished = 4;

// Runs every slice; a failing slice stops new ones from starting while the
// slices already under way finish, so nothing is abandoned mid-write.
// Slices are handed out one at a time: after a resume the slices still to make
// may all sit at one end of the range, and a static split would give them all
// to one worker.
std::vector<slice_failure> run_slices(const slice_job& job, int workers)
{
    std::vector<slice_failure> failures;
    std::atomic<bool> stop{false};
    auto record = [&](std::int32_t slice_index, const std::exception& e) {
        const image_error error = describe_error(e);
#pragma omp critical(slice_failures)
        failures.push_back({slice_index, error});
        stop = true;
    };

    auto work = [&] {
        // The syncs and renames of this worker's last slices run on threads
        // of their own, which mostly wait for the device, while the worker
        // makes its next slice. They are collected oldest first, and a
        // failure elsewhere does not drop them: their files are complete.
        struct finishing_slice {
            std::int32_t slice_index;
            std::shared_future<void> done;
        };
        std::deque<finishing_slice> finishing;
        auto collect_oldest = [&] {
            const finishing_slice oldest = std::move(finishing.front());
            finishing.pop_front();
            try {
                oldest.done.get();
            } catch (const std::exception& e) {
                record(oldest.slice_index, e);
            }
        };
        const std::function<void()> finish_all = [&] {
            while (!finishing.empty())
                collect_oldest();
        };
#pragma omp for schedule(dynamic, 1)
        for (std::int32_t slice_index = 0; slice_index < job.slice_count; ++slice_index) {
            if (stop.load(std::memory_order_relaxed))
                continue;
            try {
                std::unique_ptr<written_slice> written = write_slice(slice_index, job, finish_all);
                if (!written)
                    continue;
                while (finishing.size() >= max_unfinished)
                    collect_oldest();
                std::shared_future<void> after =
                    finishing.empty() ? std::shared_future<void>() : finishing.back().done;
                finishing.push_back(
                    {slice_index, finish_in_background(std::move(written), std::move(after))});
            } catch (const std::exception& e) {
                record(slice_index, e);
            }
        }
        finish_all();
    };
    // A single worker runs on the calling thread outside any team, so the
    // teams its slice starts are first-level ones, whose threads the runtime
    // keeps from one to the next; nested teams start fresh threads every
    // time, each with cold stacks and buffers of its own.
    if (workers == 1) {
        work();
    } else {
#pragma omp parallel num_threads(workers)
        work();
    }
    return failures;
}

} // namespace

std::int32_t parse_int(const std::string& text)
{
    std::istringstream stream(text);
    std::int32_t value = 0;
    stream >> value;
    return value;
}

std::vector<std::string> read_list(std::string path)
{
    std::vector<std::string> names;
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return names;  // opens, but reading it fails
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return names;
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return names;  // unreadable counts as missing
    }
    return parse_list(std::move(text));
}

std::vector<std::string> parse_list(std::string text)
{
    std::vector<std::string> names;
    const std::size_t end_of_text = text.find('\x1a');
    if (end_of_text != std::string::npos)
        text.resize(end_of_text);

    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos)
            end = text.size();
        else if (end > start && text[end - 1] == '\r')
            --end;  // a CR belongs to the line ending only right before the LF
        if (end > start)
            names.emplace_back(text, start, end - start);
        start = next;
    }
    return names;
}

run_options parse_options(int argc, const char* const* argv)
{
    run_options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() != 2 || arg[0] != '-' || i + 1 >= argc)
            continue;
        const std::string value = argv[i + 1];
        switch (arg[1]) {
        case 'i': options.list_path = value; break;
        case 'o': options.outputdir = value; break;
        case 's': options.splitnumber = parse_int(value); break;
        case 'x': options.xoverlap = parse_int(value); break;
        case 'y': options.yoffset = parse_int(value); break;
        case 'd': options.downsample = parse_int(value); break;
        case 'j': options.singlenum = parse_int(value); break;
        default: continue;
        }
        ++i;  // the value is never looked at as an option
    }
    return options;
}

std::int32_t count_slices(std::size_t name_count, std::int32_t splitnumber)
{
    const auto divisor = static_cast<std::uint64_t>(static_cast<std::int64_t>(splitnumber));
    return static_cast<std::int32_t>(static_cast<std::uint64_t>(name_count) / divisor);
}

int run_driver(int argc, const char* const* argv)
{
    if (argc < 2) {
        std::cerr << usage_text << std::flush;
        return exit_usage;
    }
    configure_image_library();

    std::string echo;
    for (int i = 0; i < argc; ++i)
        echo += std::string(argv[i]) + " ";
    std::cout << echo << "\n" << std::flush;

    const run_options options = parse_options(argc, argv);
    const std::vector<std::string> names = read_list(options.list_path);
    if (names.empty()) {
        std::cout << "no list.txt!\n" << std::flush;
        return exit_ok;
    }
    if (options.splitnumber == 0) {
        std::cerr << "orvane: the split number (-s) must not be 0\n" << std::flush;
        return exit_usage;
    }
    const std::int32_t slice_count = count_slices(names.size(), options.splitnumber);
    print_summary(names, options, slice_count);

    const int processors = std::max(1, omp_get_max_threads());
    tile_size reference;
    std::exception_ptr reference_error;
    // The worker threads are started while the reference tile is read. On
    // some machines a new thread can wait milliseconds for its first turn on
    // a processor (the one its creator spins on); later teams reuse them.
#pragma omp parallel num_threads(processors) if (processors > 1)
    if (omp_get_thread_num() == 0) {
        try {
            reference = load_tile_size(names.front());
        } catch (...) {
            reference_error = std::current_exception();
        }
    }
    try {
        if (reference_error)
            std::rethrow_exception(reference_error);
    } catch (const std::exception& e) {
        report_failure(describe_error(e), "cannot read the reference tile '" + names.front() + "'");
        return exit_failed;
    }
    const std::int64_t column_pitch =
        static_cast<std::int64_t>(reference.width) - 2 * static_cast<std::int64_t>(options.xoverlap);
    if (slice_count > 0 && column_pitch <= 0) {
        std::cerr << "orvane: the x overlap (-x) " << options.xoverlap
                  << " leaves no pixel of a tile " << reference.width << " wide\n"
                  << std::flush;
        return exit_usage;
    }

    slice_job job;
    job.width = reference.width;
    job.height = reference.height;
    job.names = &names;
    job.slice_count = slice_count;
    job.singlenum = options.singlenum;
    job.downsample = options.downsample;
    job.yoffset = options.yoffset;
    job.xoverlap = options.xoverlap;
    job.splitnumber = options.splitnumber;
    job.outputdir = options.outputdir;

    if (options.singlenum >= slice_count)
        std::cerr << "orvane: warning: slice index " << options.singlenum
                  << " (-j) is not below the slice count " << slice_count
                  << ": no slice is produced\n"
                  << std::flush;

    // Leftovers of a killed run are never taken for outputs, but they take space.
    remove_stale_temporaries(output_dir(job.outputdir, 1));
    if (job.downsample > 1)
        remove_stale_temporaries(output_dir(job.outputdir, job.downsample));

    // With fewer slices to make than processors (one slice with -j, the end of
    // a resumed run), each slice spreads its own work over the spare ones.
    const std::int32_t to_make = count_slices_to_make(job);
    const int workers = std::max(1, std::min(processors, static_cast<int>(to_make)));
    job.threads = std::max(1, processors / workers);

    const std::vector<slice_failure> failures = run_slices(job, workers);
    for (const slice_failure& failure : failures)
        report_failure(failure.error,
                       "slice " + std::to_string(failure.slice_index) + " failed");
    return failures.empty() ? exit_ok : exit_failed;
}

} // namespace orvane
