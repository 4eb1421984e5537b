// Runs killed with SIGKILL at random moments, then resumed: nothing broken or lost.
#include "run_fixture.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <random>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace orvane_e2e;
namespace fs = std::filesystem;

// Every file under root, by path relative to root, with its bytes.
std::map<std::string, std::string> snapshot(const std::string& root)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root)] = orvane_test::read_file(entry.path());
    return files;
}

class Crash : public Run {};

TEST_F(Crash, KilledRunsResumeToTheSameFilesAsACleanRun)
{
    make_acquisition(3, 24, 160, 120);
    const std::string clean = dir + "/clean";
    auto args_for = [&](const std::string& target) {
        return std::vector<std::string>{"-i", list, "-o", target, "-s", "3",
                                        "-x", "4",  "-y", "3",    "-d", "4"};
    };
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run(args_for(clean)).exit_code, 0);
    const auto clean_time = std::chrono::steady_clock::now() - started;
    const auto expected = snapshot(clean);
    ASSERT_EQ(expected.size(), 48u);

    std::mt19937 rng(7);
    // Kills fall at random moments within a window that starts as long as the
    // clean run. Its length follows the machine's speed, which other tests
    // running alongside change: it shrinks after a kill that came too late
    // (the run had ended) and grows back after one that landed.
    const double longest = static_cast<double>(
        std::chrono::duration_cast<std::chrono::microseconds>(clean_time).count());
    double window = longest;
    int killed_mid_run = 0;
    for (int round = 0; round < 24; ++round) {
        fs::remove_all(out);
        // Two kills in a row, the second one hitting a resumed run, then a
        // rerun that must finish the job.
        for (int kill = 0; kill < 2; ++kill) {
            const int pid =
                orvane_test::spawn_process(ORVANE_EXE, args_for(out), {"OMP_NUM_THREADS=2"});
            std::uniform_int_distribution<long> moment(0, std::max(1L, static_cast<long>(window)));
            std::this_thread::sleep_for(std::chrono::microseconds(moment(rng)));
            ::kill(pid, SIGKILL);
            const int status = orvane_test::wait_process(pid);
            const bool landed = WIFSIGNALED(status);
            killed_mid_run += landed ? 1 : 0;
            window = landed ? std::min(longest, window * 1.1) : window * 0.7;
        }
        const process_result rerun = run(args_for(out));
        ASSERT_EQ(rerun.exit_code, 0) << rerun.err;
        ASSERT_EQ(snapshot(out), expected) << "round " << round;
    }
    // Most kills must really land inside a run, or this test proves nothing.
    EXPECT_GE(killed_mid_run, 20);
}

}  // namespace
