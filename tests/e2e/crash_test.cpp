// Runs killed with SIGKILL at random moments, then resumed: nothing broken or lost.
#include "run_fixture.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <random>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace orvane_e2e;
namespace fs = std::filesystem;

class Crash : public Run {
protected:
    std::vector<std::string> options_for(const std::string& target, const std::string& xoverlap)
    {
        return {"-i", list, "-o", target, "-s", "3", "-x", xoverlap, "-y", "3", "-d", "4"};
    }

    // Starts the program as process 1 of a PID namespace of its own, as in
    // a container: every such run has the same process id on one host name.
    // Windows has no PID namespaces: there the runs start side by side on
    // one computer name.
    static int spawn_namespaced(const std::vector<std::string>& args)
    {
#ifdef ORVANE_E2E_WINDOWS
        return orvane_test::spawn_process(ORVANE_EXE, args, {"OMP_NUM_THREADS=2"});
#else
        std::vector<std::string> command = {"--pid", "--fork", "--mount-proc", ORVANE_EXE};
        command.insert(command.end(), args.begin(), args.end());
        return orvane_test::spawn_process("/usr/bin/unshare", command, {"OMP_NUM_THREADS=2"});
#endif
    }

    static bool exited_zero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

    // Skips the test where PID namespaces cannot be made (no root, or a
    // container that forbids them).
    static bool namespaces_work()
    {
#ifdef ORVANE_E2E_WINDOWS
        return true;
#endif
        const process_result probe = orvane_test::run_process(
            "/usr/bin/unshare", {"--pid", "--fork", "--mount-proc", "/bin/true"});
        return probe.exit_code == 0;
    }

    // Kills runs of `args_for(target)` at random moments, each round twice in
    // a row (the second kill hitting a resumed run), then reruns: the folder
    // must end equal to one clean run's. Returns how many kills landed inside
    // a run, and counts in `before_field` those that left no flatfield.tif.
    int kill_and_resume(const std::function<std::vector<std::string>(const std::string&)>& args_for,
                        std::size_t files, int rounds, int* before_field = nullptr)
    {
        const std::string clean = dir + "/clean";
        fs::remove_all(clean);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(run(args_for(clean)).exit_code, 0);
        const auto clean_time = std::chrono::steady_clock::now() - started;
        const auto expected = snapshot(clean);
        EXPECT_EQ(expected.size(), files);

        std::mt19937 rng(7);
        // Kills fall at random moments within a window that starts as long as
        // the clean run. Its length follows the machine's speed, which other
        // tests running alongside change: it shrinks after a kill that came
        // too late (the run had ended) and grows back after one that landed.
        // Every other first kill falls in the window's first tenth, where a
        // run settles what all slices share.
        const double longest = static_cast<double>(
            std::chrono::duration_cast<std::chrono::microseconds>(clean_time).count());
        double window = longest;
        int killed_mid_run = 0;
        for (int round = 0; round < rounds; ++round) {
            fs::remove_all(out);
            for (int kill = 0; kill < 2; ++kill) {
                const int pid =
                    orvane_test::spawn_process(ORVANE_EXE, args_for(out), {"OMP_NUM_THREADS=2"});
                const double span = kill == 0 && round % 2 == 1 ? window / 10 : window;
                std::uniform_int_distribution<long> moment(0,
                                                           std::max(1L, static_cast<long>(span)));
                std::this_thread::sleep_for(std::chrono::microseconds(moment(rng)));
                ::kill(pid, SIGKILL);
                const int status = orvane_test::wait_process(pid);
                const bool landed = WIFSIGNALED(status);
                killed_mid_run += landed ? 1 : 0;
                if (before_field && landed && !exists(out + "/flatfield.tif"))
                    ++*before_field;
                window = landed ? std::min(longest, window * 1.1) : window * 0.7;
            }
            const process_result rerun = run(args_for(out));
            EXPECT_EQ(rerun.exit_code, 0) << rerun.err;
            EXPECT_EQ(snapshot(out), expected) << "round " << round;
            if (::testing::Test::HasFailure())
                break;
        }
        return killed_mid_run;
    }
};

TEST_F(Crash, KilledRunsResumeToTheSameFilesAsACleanRun)
{
    make_acquisition(3, 24, 160, 120);
    const int landed = kill_and_resume(
        [&](const std::string& target) { return options_for(target, "4"); }, 48u, 24);
    // Most kills must really land inside a run, or this test proves nothing.
    EXPECT_GE(landed, 20);
}

// With seam corrections the flat field estimated into the folder, the
// folder's record, the slices' rows and the report end as one clean run's
// too, a kill during the estimate included.
TEST_F(Crash, KilledSeamCorrectedRunsResumeToTheSameFilesAsACleanRun)
{
    make_acquisition(3, 24, 160, 120);
    int before_field = 0;
    const int landed = kill_and_resume(
        [&](const std::string& target) {
            std::vector<std::string> a = options_for(target, "4");
            a.push_back("--seamless");
            return a;
        },
        // 24 slices in two sizes, their 24 rows, the field, record, report, picture.
        48u + 24u + 4u, 16, &before_field);
    EXPECT_GE(landed, 12);
    EXPECT_GE(before_field, 2);
}

// Runs in containers share the process id 1 and the host name: their
// temporaries must still be their own, and a run must not take another's
// temporary for a killed run's leftover because it cannot see its process.
TEST_F(Crash, RunsInSeparatePidNamespacesOverOneOutputBothFinishWithWholeFiles)
{
    if (!namespaces_work())
        GTEST_SKIP() << "unshare --pid is not permitted here (it needs root)";
    make_acquisition(3, 12, 160, 120);
    // Two runs with different -x write different bytes under each name, so
    // a file mixed of both would show.
    std::map<std::string, std::string> clean[2];
    for (int i = 0; i < 2; ++i) {
        const std::string target = dir + "/clean" + std::to_string(i);
        ASSERT_EQ(run(options_for(target, i == 0 ? "4" : "8")).exit_code, 0);
        clean[i] = snapshot(target);
        ASSERT_EQ(clean[i].size(), 24u);
    }
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::remove_all(out);
        const int first = spawn_namespaced(options_for(out, "4"));
        const int second = spawn_namespaced(options_for(out, "8"));
        EXPECT_TRUE(exited_zero(orvane_test::wait_process(first)));
        EXPECT_TRUE(exited_zero(orvane_test::wait_process(second)));
        const auto made = snapshot(out);
        EXPECT_EQ(made.size(), 24u);  // every slice, and no temporary left
        for (const auto& [name, bytes] : made) {
            EXPECT_TRUE(bytes == clean[0][name] || bytes == clean[1][name]) << name;
            EXPECT_EQ(orvane_test::read_tiff(out + "/" + name).height,
                      name.find("stack4") == 0 ? 30u : 120u)
                << name;
        }
    }
}

// A run started in a namespace of its own cannot see the process of a run
// of the host: it must still leave that run's temporaries alone.
TEST_F(Crash, ARunBesideNamespacedStartsFinishes)
{
    if (!namespaces_work())
        GTEST_SKIP() << "unshare --pid is not permitted here (it needs root)";
    make_acquisition(3, 24, 160, 120);
    const std::string clean = dir + "/clean";
    ASSERT_EQ(run(options_for(clean, "4")).exit_code, 0);
    const auto expected = snapshot(clean);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::remove_all(out);
        const int host_run =
            orvane_test::spawn_process(ORVANE_EXE, options_for(out, "4"), {"OMP_NUM_THREADS=1"});
        // Starts that make nothing (a slice past the last) but clean the
        // output's leftovers while the host run writes.
        int status = 0;
        while (::waitpid(host_run, &status, WNOHANG) == 0) {
            auto args = options_for(out, "4");
            args.insert(args.end(), {"-j", "99"});
            orvane_test::wait_process(spawn_namespaced(args));
        }
        EXPECT_TRUE(exited_zero(status));
        EXPECT_EQ(snapshot(out), expected);
    }
}

}  // namespace
