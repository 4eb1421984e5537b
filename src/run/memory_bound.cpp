// The limits on the memory a run's slice workers may take together, and which of them binds.
#include "run/memory_bound.hpp"

#include "base/console.hpp"
#include "run/slice_loop.hpp"

#include <algorithm>
#include <cctype>
#include <limits>
#include <sstream>

namespace orvane {

namespace {

bool counts_mappings(memory_limit_kind kind)
{
    return kind == memory_limit_kind::address_space || kind == memory_limit_kind::data;
}

// Threads a worker may have running besides its own: each slice still
// syncing has one that finishes it and one that syncs its file, and the
// slice being written one more that syncs.
constexpr int threads_per_worker = 2 * static_cast<int>(max_unfinished_slices) + 1;

// What a limit on mappings counts beyond the workers' own memory: what is
// mapped already, the stacks of the threads the workers start, and the
// allocator's arenas of all threads (reserved whole, so the address space
// counts them; the data limit only counts what is used of them).
double taken_before_workers(const memory_limit& limit, const process_memory& process, int workers)
{
    const double threads = static_cast<double>(workers) * threads_per_worker;
    double taken = threads * static_cast<double>(process.threads.stack);
    if (limit.kind == memory_limit_kind::address_space) {
        const double arenas =
            std::min<double>(process.threads.max_arenas, process.pool_threads + 1 + threads);
        taken += arenas * static_cast<double>(process.threads.arena) +
                 static_cast<double>(process.mapped.address_space);
    } else {
        taken += static_cast<double>(process.mapped.data);
    }
    return taken;
}

std::uint64_t parse_count(std::string_view text)
{
    std::uint64_t value = 0;
    if (text.empty())
        return 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    return value;
}

// Slurm's sizes are in megabytes unless a unit follows.
std::uint64_t parse_megabytes(std::string text)
{
    std::uint64_t unit = std::uint64_t{1} << 20;
    if (!text.empty() && std::isalpha(static_cast<unsigned char>(text.back()))) {
        const std::string units = "KMGT";
        const std::size_t at = units.find(static_cast<char>(std::toupper(text.back())));
        if (at == std::string::npos)
            return 0;
        unit = std::uint64_t{1} << (10 * (at + 1));
        text.pop_back();
    }
    const std::uint64_t count = parse_count(text);
    return count > std::numeric_limits<std::uint64_t>::max() / unit ? 0 : count * unit;
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::string_view::npos;
         start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

// mountinfo writes a space, tab, newline or backslash in a path as \ooo.
std::string unescape_octal(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
            text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct cgroup_mount {
    std::string root;   // the group the mount shows at its top
    std::string point;  // where it is mounted
};

// The mounts of the version-2 hierarchy and of the version-1 memory one.
void find_cgroup_mounts(std::string_view mounts, std::optional<cgroup_mount>& unified,
                        std::optional<cgroup_mount>& memory)
{
    std::istringstream lines{std::string(mounts)};
    for (std::string line; std::getline(lines, line);) {
        // id parent major:minor root point options [optional...] - type source super-options
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;)
            words.push_back(word);
        const auto dash = std::find(words.begin(), words.end(), "-");
        if (words.size() < 5 || dash == words.end() || words.end() - dash < 2)
            continue;
        const std::string& type = dash[1];
        const std::string options = words.end() - dash >= 4 ? dash[3] : "";
        const cgroup_mount mount{unescape_octal(words[3]), unescape_octal(words[4])};
        if (type == "cgroup2" && !unified)
            unified = mount;
        else if (type == "cgroup" && !memory) {
            const std::vector<std::string_view> list = split(options, ',');
            if (std::find(list.begin(), list.end(), "memory") != list.end())
                memory = mount;
        }
    }
}

// file in the mounted directory of group and of each group above it up to
// the mount's top; nothing when the group lies outside what is mounted.
void add_group_files(const cgroup_mount& mount, std::string group, const char* file,
                     std::vector<std::string>& files)
{
    if (group.empty() || group.front() != '/' || group.find("/..") != std::string::npos)
        return;
    std::string root = mount.root;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    if (root != "/") {
        if (group.compare(0, root.size(), root) != 0 ||
            (group.size() > root.size() && group[root.size()] != '/'))
            return;
        group.erase(0, root.size());
    }
    while (!group.empty() && group.back() == '/')
        group.pop_back();
    std::string point = mount.point;
    while (point.size() > 1 && point.back() == '/')
        point.pop_back();
    for (;;) {
        files.push_back(point + group + "/" + file);
        if (group.empty())
            return;
        group.erase(group.rfind('/'));
    }
}

}  // namespace

double usable_bytes(const memory_limit& limit, const process_memory& process, int workers)
{
    // What the system, the page cache of the files being written and other
    // programs need is left aside: a worker too many is killed with the run.
    if (!counts_mappings(limit.kind))
        return static_cast<double>(limit.bytes) * 0.85;
    // A limit on mappings is met exactly, at the first mapping past it: a
    // twentieth is kept for what the estimate leaves out (the libraries'
    // own buffers, freed stacks the thread library keeps).
    return static_cast<double>(limit.bytes) * 0.95 - taken_before_workers(limit, process, workers);
}

worker_fit tightest_fit(const std::vector<memory_limit>& limits, const process_memory& process,
                        int workers, const std::function<double(int)>& worker_bytes)
{
    std::optional<worker_fit> tightest;
    double tightest_usable = 0;
    for (const memory_limit& limit : limits) {
        worker_fit fit{limit, std::max(1, workers), 0};
        while (fit.workers > 1 && static_cast<double>(fit.workers) * worker_bytes(fit.workers) >
                                      usable_bytes(limit, process, fit.workers))
            --fit.workers;
        fit.worker_bytes = worker_bytes(fit.workers);
        const double usable = usable_bytes(limit, process, fit.workers);
        if (!tightest || fit.workers < tightest->workers ||
            (fit.workers == tightest->workers && usable < tightest_usable)) {
            tightest = fit;
            tightest_usable = usable;
        }
    }
    if (!tightest)
        return {{}, std::max(1, workers), worker_bytes(std::max(1, workers))};
    return *tightest;
}

std::string limit_words(const memory_limit& limit, const process_memory& process, int workers)
{
    const std::string bytes = bytes_text(static_cast<double>(limit.bytes));
    switch (limit.kind) {
    case memory_limit_kind::physical: return "this computer has " + bytes;
    case memory_limit_kind::address_space:
    case memory_limit_kind::data: {
        const std::string taken = bytes_text(taken_before_workers(limit, process, workers));
        const std::string name = limit.kind == memory_limit_kind::address_space
                                     ? "the address-space limit (ulimit -v) is "
                                     : "the data-size limit (ulimit -d) is ";
        return name + bytes + ", " + taken +
               " of it taken by the program itself, its threads' stacks" +
               (limit.kind == memory_limit_kind::address_space ? " and memory arenas" : "");
    }
    case memory_limit_kind::slurm_node:
        return "Slurm gave this task " + bytes + " (SLURM_MEM_PER_NODE)";
    case memory_limit_kind::slurm_cpu:
        return "Slurm gave this task " + bytes + " (SLURM_MEM_PER_CPU \u00d7 " +
               std::to_string(limit.cpus) + " CPUs)";
    case memory_limit_kind::control_group:
        return "the memory limit of this process's control group is " + bytes;
    case memory_limit_kind::job_process:
        return "the job object's limit on each of its processes is " + bytes;
    case memory_limit_kind::job_total:
        return "the job object's limit on all its processes is " + bytes;
    }
    return bytes;
}

std::uint64_t parse_cgroup_limit(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    // Version 1 says "no limit" with the largest multiple of a page below
    // 2^63; no machine has a quarter of that.
    const std::uint64_t value = parse_count(text);
    return value >= (std::uint64_t{1} << 62) ? 0 : value;
}

std::vector<std::string> cgroup_limit_files(std::string_view own_groups, std::string_view mounts)
{
    std::optional<cgroup_mount> unified, memory;
    find_cgroup_mounts(mounts, unified, memory);
    std::vector<std::string> files;
    for (const std::string_view line : split(own_groups, '\n')) {
        // hierarchy-id:controllers:path; the version-2 hierarchy is "0::path".
        const std::size_t first = line.find(':');
        const std::size_t second =
            first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos)
            continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string group(line.substr(second + 1));
        const std::vector<std::string_view> list = split(controllers, ',');
        if (line.substr(0, first) == "0" && controllers.empty() && unified)
            add_group_files(*unified, group, "memory.max", files);
        else if (std::find(list.begin(), list.end(), "memory") != list.end() && memory)
            add_group_files(*memory, group, "memory.limit_in_bytes", files);
    }
    return files;
}

std::optional<memory_limit> slurm_limit(const std::function<std::string(const char*)>& variable)
{
    std::optional<memory_limit> limit;
    if (const std::uint64_t bytes = parse_megabytes(variable("SLURM_MEM_PER_NODE")); bytes > 0)
        limit = memory_limit{memory_limit_kind::slurm_node, bytes, 0};
    const std::uint64_t per_cpu = parse_megabytes(variable("SLURM_MEM_PER_CPU"));
    std::uint64_t cpus = parse_count(variable("SLURM_CPUS_PER_TASK"));
    if (cpus == 0)
        cpus = parse_count(variable("SLURM_CPUS_ON_NODE"));
    if (per_cpu > 0 && cpus > 0 && cpus < (std::uint64_t{1} << 20) &&
        per_cpu <= std::numeric_limits<std::uint64_t>::max() / cpus &&
        (!limit || per_cpu * cpus < limit->bytes))
        limit = memory_limit{memory_limit_kind::slurm_cpu, per_cpu * cpus,
                             static_cast<std::int64_t>(cpus)};
    return limit;
}

namespace {

// The whole text of a small file the system makes: empty when it cannot be
// read. Its size is not known before (files under /proc tell 0).
std::string read_system_text(const std::string& path)
{
    const int fd = platform::open_sequential(path);
    if (fd < 0)
        return {};
    std::string text;
    char block[4096];
    std::int64_t got;
    while (text.size() < (std::size_t{1} << 20) &&
           (got = platform::read_next(fd, block, sizeof block)) > 0)
        text.append(block, static_cast<std::size_t>(got));
    platform::close_file(fd);
    return text;
}

std::uint64_t control_group_limit()
{
    const std::string own = read_system_text("/proc/self/cgroup");
    if (own.empty())
        return 0;
    std::uint64_t tightest = 0;
    for (const std::string& file :
         cgroup_limit_files(own, read_system_text("/proc/self/mountinfo")))
        if (const std::uint64_t bytes = parse_cgroup_limit(read_system_text(file));
            bytes > 0 && (tightest == 0 || bytes < tightest))
            tightest = bytes;
    return tightest;
}

}  // namespace

std::vector<memory_limit> process_memory_limits()
{
    std::vector<memory_limit> limits;
    const auto add = [&](memory_limit_kind kind, std::uint64_t bytes) {
        if (bytes > 0)
            limits.push_back({kind, bytes, 0});
    };
    add(memory_limit_kind::physical, platform::physical_memory());
    const platform::memory_limits system = platform::process_memory_limits();
    add(memory_limit_kind::address_space, system.address_space);
    add(memory_limit_kind::data, system.data);
    if (const std::optional<memory_limit> slurm = slurm_limit(platform::environment_value))
        limits.push_back(*slurm);
    add(memory_limit_kind::control_group, control_group_limit());
    add(memory_limit_kind::job_process, system.job_process);
    add(memory_limit_kind::job_total, system.job_total);
    return limits;
}

process_memory process_memory_now(int pool_threads)
{
    return {platform::process_mapped_memory(), platform::thread_reservations(),
            std::max(1, pool_threads)};
}

}  // namespace orvane
