// The OME-Zarr volume beside the TIFFs: read back by zarr-python, made whole by reruns after kills,
// added to a finished run, written by one process per slice, refused when it is another run's.
#include "run_fixture.hpp"

#include <chrono>
#include <csignal>
#include <random>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace orvane_e2e;
namespace fs = std::filesystem;

// The files only one side has or whose bytes differ, by name; empty when equal.
std::string differences(const std::map<std::string, std::string>& got,
                        const std::map<std::string, std::string>& want)
{
    std::string names;
    for (const auto& [name, bytes] : got)
        if (!want.count(name) || want.at(name) != bytes)
            names += (want.count(name) ? " differs: " : " extra: ") + name;
    for (const auto& [name, bytes] : want)
        if (!got.count(name))
            names += " missing: " + name;
    return names;
}

class Volume : public Run {
protected:
    std::string volume = dir + "/volume.ome.zarr";

    // Three columns of 401 x 301 tiles less 4 columns on each side: a
    // 1179 x 301 mosaic, so level 0 has a second chunk column of 155 and
    // level 1 (590 x 151) odd sides.
    void SetUp() override { make_acquisition(3, 6, 401, 301); }

    std::vector<std::string> args(const std::string& target, const std::string& vol,
                                  std::vector<std::string> more = {}) const
    {
        std::vector<std::string> all{"-i",         list, "-o",           target,      "-s", "3",
                                     "-x",         "4",  "-y",           "3",         "-d", "4",
                                     "--ome-zarr", vol,  "--voxel-size", "0.5,0.25,3"};
        all.insert(all.end(), more.begin(), more.end());
        return all;
    }

    // "ok\n", or what zarr-python, tifffile and the schema found wrong; with
    // the calibration the TIFFs must carry as X,Y,Z,factor.
    static std::string check(const std::string& vol, const std::string& target,
                             const std::string& calibration = "")
    {
        std::vector<std::string> args{ORVANE_CHECK_VOLUME, vol, target + "/stack1"};
        if (!calibration.empty())
            args.insert(args.end(), {"--calibration", calibration});
        const process_result checked = orvane_test::run_process(ORVANE_TEST_PYTHON, args);
        return checked.out + checked.err;
    }
};

TEST_F(Volume, ReadersFindTheTiffsAtLevel0AndTheRoundedMeansBelow)
{
    const process_result made = run(args(out, volume));
    ASSERT_EQ(made.exit_code, 0) << made.err;
    EXPECT_EQ(made.err, "");
    EXPECT_EQ(slice_lines(made.out).size(), 12u);  // the TIFFs' lines and nothing more
    EXPECT_EQ(check(volume, out, "0.5,0.25,3,4"), "ok\n");
}

// A volume asked for after a TIFF-only run is made from the tiles; the TIFFs
// that mark the slices done stay byte for byte, and the lines are a rerun's.
TEST_F(Volume, AVolumeAddedToAFinishedRunLeavesItsTiffsAsTheyAre)
{
    std::vector<std::string> tiff_only = args(out, volume);
    tiff_only.resize(12);
    ASSERT_EQ(run(tiff_only).exit_code, 0);
    const auto tiffs = snapshot(out);
    const process_result rerun = run(tiff_only);

    const process_result added = run(args(out, volume));
    ASSERT_EQ(added.exit_code, 0) << added.err;
    EXPECT_EQ(sorted(slice_lines(added.out)), sorted(slice_lines(rerun.out)));
    EXPECT_EQ(differences(snapshot(out), tiffs), "");
    EXPECT_EQ(check(volume, out), "ok\n");
}

// The plan's text with slice k's state replaced.
std::string with_state(std::string plan, int k, const std::string& state)
{
    const std::string start = "\n" + std::to_string(k) + "\t";
    const std::size_t at = plan.find(start) + start.size();
    plan.replace(at, plan.find('\t', at) - at, state);
    return plan;
}

// Array scripts submit only what the plan does not call done: a done slice
// whose planes are missing must not be called done, or the volume keeps the
// hole and nothing says so. Looking must make nothing, and the plan without
// --ome-zarr must not change.
TEST_F(Volume, ThePlanSaysPlanesForADoneSliceUntilARunMakesItsPlanes)
{
    std::vector<std::string> tiff_only = args(out, volume);
    tiff_only.resize(12);
    const auto plan_of = [&](std::vector<std::string> options) {
        options.push_back("--plan");
        const process_result r = run(options);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    };
    ASSERT_EQ(run(tiff_only).exit_code, 0);
    const std::string all_done = plan_of(tiff_only);
    ASSERT_EQ(lines(all_done).size(), 7u);
    std::string no_planes = all_done;
    for (int k = 0; k < 6; ++k) {
        ASSERT_EQ(with_state(all_done, k, "done"), all_done) << k;
        no_planes = with_state(no_planes, k, "planes");
    }
    EXPECT_EQ(plan_of(args(out, volume)), no_planes);  // no volume there yet
    EXPECT_FALSE(exists(volume));

    ASSERT_EQ(run(args(out, volume)).exit_code, 0);
    EXPECT_EQ(plan_of(args(out, volume)), all_done);
    // A level-1 chunk of slice 4, as a run stopped between its chunks and its TIFF leaves it.
    fs::remove(volume + "/1/4/0/0");
    const auto looked_at = snapshot(volume);
    EXPECT_EQ(plan_of(args(out, volume)), with_state(all_done, 4, "planes"));
    std::string only_4 = with_state(all_done, 4, "planes");  // what a task checks
    for (int k : {0, 1, 2, 3, 5})
        only_4 = with_state(only_4, k, "skip");
    EXPECT_EQ(plan_of(args(out, volume, {"-j", "4"})), only_4);
    EXPECT_EQ(differences(snapshot(volume), looked_at), "");
    EXPECT_EQ(plan_of(tiff_only), all_done);

    ASSERT_EQ(run(args(out, volume)).exit_code, 0);
    EXPECT_EQ(plan_of(args(out, volume)), all_done);
    EXPECT_EQ(check(volume, out), "ok\n");
}

TEST_F(Volume, KilledRunsAndARerunGiveTheVolumeOfACleanRun)
{
    // The same last name: it is the volume's name in its metadata.
    const std::string clean_out = dir + "/clean/out", clean_volume = dir + "/clean/volume.ome.zarr";
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run(args(clean_out, clean_volume)).exit_code, 0);
    const auto clean_time = std::chrono::steady_clock::now() - started;
    const auto expected = snapshot(clean_volume);
    const auto expected_tiffs = snapshot(clean_out);

    std::mt19937 rng(11);
    const double longest = static_cast<double>(
        std::chrono::duration_cast<std::chrono::microseconds>(clean_time).count());
    double window = longest;
    int killed_mid_run = 0;
    for (int round = 0; round < 8; ++round) {
        fs::remove_all(out);
        fs::remove_all(volume);
        for (int kill = 0; kill < 2; ++kill) {
            const int pid =
                orvane_test::spawn_process(ORVANE_EXE, args(out, volume), {"OMP_NUM_THREADS=2"});
            std::uniform_int_distribution<long> moment(0, std::max(1L, static_cast<long>(window)));
            std::this_thread::sleep_for(std::chrono::microseconds(moment(rng)));
            ::kill(pid, SIGKILL);
            const bool landed = WIFSIGNALED(orvane_test::wait_process(pid));
            killed_mid_run += landed ? 1 : 0;
            window = landed ? std::min(longest, window * 1.1) : window * 0.7;
        }
        const process_result rerun = run(args(out, volume));
        ASSERT_EQ(rerun.exit_code, 0) << rerun.err;
        // Equal file sets: no temporary is left beside the chunks either.
        ASSERT_EQ(differences(snapshot(volume), expected), "") << "round " << round;
        ASSERT_EQ(differences(snapshot(out), expected_tiffs), "") << "round " << round;
    }
    EXPECT_GE(killed_mid_run, 6);
}

// Array tasks each make one slice into the same volume at once.
TEST_F(Volume, SlicesMadeOnePerProcessEqualAOneProcessRun)
{
    const std::string one_out = dir + "/one/out", one_volume = dir + "/one/volume.ome.zarr";
    ASSERT_EQ(run(args(one_out, one_volume)).exit_code, 0);
    std::vector<int> tasks;
    for (int k = 0; k < 6; ++k)
        tasks.push_back(orvane_test::spawn_process(
            ORVANE_EXE, args(out, volume, {"-j", std::to_string(k)}), {"OMP_NUM_THREADS=1"}));
    for (int pid : tasks) {
        const int status = orvane_test::wait_process(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(differences(snapshot(volume), snapshot(one_volume)), "");
    EXPECT_EQ(differences(snapshot(out), snapshot(one_out)), "");
}

// Slices of another shape or scale would be mixed into a volume that
// describes them wrongly; a voxel size that is no size would be written
// into every file.
TEST_F(Volume, AnotherRunsVolumeAndABadVoxelSizeAreRefusedBeforeAnyFile)
{
    ASSERT_EQ(run(args(out, volume)).exit_code, 0);
    const auto before = snapshot(volume);
    const std::string other = dir + "/other";
    std::vector<std::string> rescaled = args(other, volume);
    rescaled.back() = "0.5,0.25,2";
    const process_result refused = run(rescaled);
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_NE(refused.err.find(volume + "/.zattrs"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("[3.0,0.25,0.5]"), std::string::npos) << refused.err;
    EXPECT_FALSE(exists(other + "/stack1"));
    EXPECT_EQ(differences(snapshot(volume), before), "");

    rescaled.back() = "0.5,0,2";
    const process_result bad = run(rescaled);
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_NE(bad.err.find("'0.5,0,2' is not three positive numbers"), std::string::npos)
        << bad.err;
}

}  // namespace
