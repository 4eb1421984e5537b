// The limits on the memory a run's slice workers may take together, and which of them binds.
#pragma once

#include "platform/platform.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

enum class memory_limit_kind {
    physical,       // the computer's memory
    address_space,  // ulimit -v: every mapping counts, reserved or not
    data,           // ulimit -d: private writable mappings count
    slurm_node,     // the memory Slurm gave the job on this node
    slurm_cpu,      // Slurm's memory per CPU times this task's CPUs
    control_group,  // the memory limit of the process's control group or one above it
    job_process,    // a Windows job object's limit on each of its processes
    job_total,      // a Windows job object's limit on all its processes together
};

struct memory_limit {
    memory_limit_kind kind = memory_limit_kind::physical;
    std::uint64_t bytes = 0;
    std::int64_t cpus = 0;  // what Slurm's memory per CPU was multiplied by
};

// What the program has taken of the memory before its first slice, and what
// each thread it starts later reserves: only the limits on mappings count
// them, as they count what is reserved and never used.
struct process_memory {
    platform::mapped_memory mapped;
    platform::thread_reservation threads;
    int pool_threads = 1;  // the parallel runtime's threads, already started
};

// The bytes `workers` slice workers may hold together under the limit.
double usable_bytes(const memory_limit& limit, const process_memory& process, int workers);

// The most workers, from `workers` down to 1, that fit under one limit, and
// what each holds then.
struct worker_fit {
    memory_limit limit;
    int workers = 1;
    double worker_bytes = 0;
};

// The fit under the limit that allows the fewest workers (the fewest bytes
// among those); worker_bytes(n) is what one of n workers holds. The
// computer's memory alone when `limits` is empty.
worker_fit tightest_fit(const std::vector<memory_limit>& limits, const process_memory& process,
                        int workers, const std::function<double(int)>& worker_bytes);

// "this computer has 15.5 GiB", "the address-space limit (ulimit -v) is
// 7.6 GiB, 1.5 GiB of it taken ...": the limit a lowered worker count obeys.
std::string limit_words(const memory_limit& limit, const process_memory& process, int workers);

// The limit in a control group's memory.max (v2) or memory.limit_in_bytes
// (v1): 0 for none ("max", v1's number for no limit, anything unreadable).
std::uint64_t parse_cgroup_limit(std::string_view text);

// The files whose limits bind a process, from the text of its
// /proc/self/cgroup and /proc/self/mountinfo: memory.max of its version-2
// group and of each group above it, memory.limit_in_bytes of its version-1
// memory group and the groups above, where the hierarchies are mounted.
std::vector<std::string> cgroup_limit_files(std::string_view own_groups, std::string_view mounts);

// The memory Slurm gave this task, from its variables (in megabytes):
// SLURM_MEM_PER_NODE, or SLURM_MEM_PER_CPU times SLURM_CPUS_PER_TASK (the
// task's CPUs) or else SLURM_CPUS_ON_NODE; nothing when they do not say.
std::optional<memory_limit> slurm_limit(const std::function<std::string(const char*)>& variable);

// Every limit on this process's memory that the system reports, the
// computer's memory first.
std::vector<memory_limit> process_memory_limits();

// What this process has taken so far, with `pool_threads` runtime threads started.
process_memory process_memory_now(int pool_threads);

}  // namespace orvane
