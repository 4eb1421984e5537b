// Which limit on the process's memory binds the slice workers, and how the limits are read.
#include "run/memory_bound.hpp"

#include <gtest/gtest.h>

#include <map>

namespace {

using orvane::memory_limit;
using orvane::memory_limit_kind;

constexpr std::uint64_t mib = std::uint64_t{1} << 20;
constexpr std::uint64_t gib = std::uint64_t{1} << 30;

// A process on two processors of 64-bit glibc: 300 MiB mapped, 8 MiB stacks,
// up to 16 arenas of 64 MiB, 40 runtime threads.
orvane::process_memory glibc_process()
{
    orvane::process_memory process;
    process.mapped.address_space = 300 * mib;
    process.mapped.data = 200 * mib;
    process.threads.stack = 8 * mib + 4096;
    process.threads.arena = 64 * mib;
    process.threads.max_arenas = 16;
    process.pool_threads = 40;
    return process;
}

double half_gib_each(int) { return 512.0 * mib; }

// The line that lowers the count must name the limit that lowered it, and a
// limit listed after a looser one must still win.
TEST(MemoryBound, TheLimitAllowingFewestWorkersWinsAndIsNamed)
{
    const orvane::process_memory process = glibc_process();
    const std::vector<memory_limit> limits = {
        {memory_limit_kind::physical, 64 * gib, 0},
        {memory_limit_kind::control_group, 6 * gib, 0},
        {memory_limit_kind::slurm_node, 20 * gib, 0},
    };
    const orvane::worker_fit fit = orvane::tightest_fit(limits, process, 40, half_gib_each);
    EXPECT_EQ(fit.limit.kind, memory_limit_kind::control_group);
    EXPECT_EQ(fit.workers, 10);  // 0.85 of 6 GiB holds ten of 512 MiB
    EXPECT_EQ(orvane::limit_words(fit.limit, process, fit.workers),
              "the memory limit of this process's control group is 6.0 GiB");

    // The computer's memory alone keeps today's words, and so today's line.
    const orvane::worker_fit alone = orvane::tightest_fit(
        {{memory_limit_kind::physical, 8 * gib, 0}}, process, 40, half_gib_each);
    EXPECT_EQ(alone.workers, 13);
    EXPECT_EQ(orvane::limit_words(alone.limit, process, alone.workers),
              "this computer has 8.0 GiB");
    EXPECT_EQ(orvane::tightest_fit({}, process, 40, half_gib_each).workers, 40);
}

// An address-space limit counts what is mapped before the first slice, a
// stack for each thread the workers start and every arena reserved: taken
// as resident memory, ulimit -v 8000000 lets 40 threads' workers fail to
// allocate.
TEST(MemoryBound, AnAddressSpaceLimitLeavesOutThreadsArenasAndWhatIsMapped)
{
    const orvane::process_memory process = glibc_process();
    const memory_limit address_space{memory_limit_kind::address_space, 8000000 * 1024ull, 0};
    const orvane::worker_fit fit = orvane::tightest_fit(
        {{memory_limit_kind::physical, 23 * gib, 0}, address_space}, process, 40, half_gib_each);
    EXPECT_EQ(fit.limit.kind, memory_limit_kind::address_space);
    // 0.95 of 7.63 GiB, less 300 MiB mapped, 1 GiB of arenas and 9 stacks
    // of 8 MiB for each worker: 5.96 GiB for workers of 584 MiB with theirs.
    EXPECT_EQ(fit.workers, 10);
    // Each worker more starts threads for the slices it syncs.
    EXPECT_NEAR(orvane::usable_bytes(address_space, process, 3) -
                    orvane::usable_bytes(address_space, process, 4),
                9 * (8.0 * mib + 4096), 1);
    EXPECT_EQ(orvane::limit_words(fit.limit, process, fit.workers),
              "the address-space limit (ulimit -v) is 7.6 GiB, 2.0 GiB of it taken by the "
              "program itself, its threads' stacks and memory arenas");

    // The data limit counts the stacks and what is written, not the arenas'
    // reservations.
    const memory_limit data{memory_limit_kind::data, 8000000 * 1024ull, 0};
    EXPECT_NEAR(orvane::usable_bytes(data, process, 1),
                0.95 * static_cast<double>(data.bytes) - 200.0 * mib - 9 * (8.0 * mib + 4096), 1);
}

TEST(MemoryBound, CgroupLimitsReadMaxAndVersionOnesNoLimitAsNone)
{
    EXPECT_EQ(orvane::parse_cgroup_limit("max\n"), 0u);
    EXPECT_EQ(orvane::parse_cgroup_limit("9223372036854771712\n"), 0u);
    EXPECT_EQ(orvane::parse_cgroup_limit("8589934592\n"), 8 * gib);
    EXPECT_EQ(orvane::parse_cgroup_limit(""), 0u);
    EXPECT_EQ(orvane::parse_cgroup_limit("-1"), 0u);
    EXPECT_EQ(orvane::parse_cgroup_limit("99999999999999999999999"), 0u);
}

// A limit set on a group above the process's binds it too, and a container
// mounts its own group at the top of the hierarchy.
TEST(MemoryBound, CgroupFilesAreTheOwnGroupsAndThoseAboveWhereMounted)
{
    const std::string unified = "25 1 0:22 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(orvane::cgroup_limit_files("0::/user.slice/job.scope\n", unified),
              (std::vector<std::string>{"/sys/fs/cgroup/user.slice/job.scope/memory.max",
                                        "/sys/fs/cgroup/user.slice/memory.max",
                                        "/sys/fs/cgroup/memory.max"}));

    const std::string hybrid =
        "31 22 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw,mode=755\n"
        "34 31 0:31 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
        "35 31 0:32 /docker/ab /sys/fs/cgroup/mem\\040ory rw shared:9 - cgroup cgroup rw,memory\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(orvane::cgroup_limit_files("5:cpu,cpuacct:/docker/ab\n4:memory:/docker/ab/x\n0::/\n",
                                         hybrid),
              (std::vector<std::string>{"/sys/fs/cgroup/mem ory/x/memory.limit_in_bytes",
                                        "/sys/fs/cgroup/mem ory/memory.limit_in_bytes",
                                        "/sys/fs/cgroup/unified/memory.max"}));
    // A group the mount does not show cannot be read.
    EXPECT_TRUE(orvane::cgroup_limit_files("4:memory:/other\n", hybrid).empty());
    EXPECT_TRUE(orvane::cgroup_limit_files("", unified).empty());
}

TEST(MemoryBound, SlurmMemoryIsPerNodeOrPerCpuTimesTheTasksCpus)
{
    std::map<std::string, std::string> set;
    const auto variable = [&](const char* name) {
        const auto found = set.find(name);
        return found == set.end() ? std::string() : found->second;
    };
    EXPECT_FALSE(orvane::slurm_limit(variable));
    set = {{"SLURM_MEM_PER_NODE", "16000"}};
    EXPECT_EQ(orvane::slurm_limit(variable)->bytes, 16000 * mib);
    EXPECT_EQ(orvane::slurm_limit(variable)->kind, memory_limit_kind::slurm_node);
    set = {{"SLURM_MEM_PER_NODE", "4G"}};
    EXPECT_EQ(orvane::slurm_limit(variable)->bytes, 4 * gib);

    // The task's own CPUs when it was given some, else the job's on the node.
    set = {
        {"SLURM_MEM_PER_CPU", "2000"}, {"SLURM_CPUS_PER_TASK", "4"}, {"SLURM_CPUS_ON_NODE", "16"}};
    const std::optional<memory_limit> per_cpu = orvane::slurm_limit(variable);
    EXPECT_EQ(per_cpu->bytes, 8000 * mib);
    EXPECT_EQ(orvane::limit_words(*per_cpu, {}, 1),
              "Slurm gave this task 7.8 GiB (SLURM_MEM_PER_CPU \u00d7 4 CPUs)");
    set.erase("SLURM_CPUS_PER_TASK");
    EXPECT_EQ(orvane::slurm_limit(variable)->bytes, 32000 * mib);
    set.erase("SLURM_CPUS_ON_NODE");
    EXPECT_FALSE(orvane::slurm_limit(variable));

    // 0 is all of the node's memory; a text that is no size says nothing.
    set = {{"SLURM_MEM_PER_NODE", "0"}};
    EXPECT_FALSE(orvane::slurm_limit(variable));
    set = {{"SLURM_MEM_PER_NODE", "lots"}};
    EXPECT_FALSE(orvane::slurm_limit(variable));
}

}  // namespace
