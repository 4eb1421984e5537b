// The OME-Zarr volume beside the TIFFs: read back by zarr-python, made whole by reruns after kills,
// added to a finished run, written by one process per slice, refused when it is another run's.
#include "run_fixture.hpp"

#include "io/ome_zarr.hpp"
#include "platform/platform.hpp"

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

    // The options with flag's value replaced.
    static std::vector<std::string> set(std::vector<std::string> options, const std::string& flag,
                                        const std::string& value)
    {
        *(std::find(options.begin(), options.end(), flag) + 1) = value;
        return options;
    }

    // A volume as versions before the volumetric form wrote it, of the run
    // args(out, vol) makes, with the planes of `slices` from its TIFFs.
    void write_planar_volume(const std::string& vol, const std::vector<int>& slices) const
    {
        const auto layout =
            orvane::make_volume_layout("volume", 6, {1179, 301}, orvane::voxel_size{0.5, 0.25, 3},
                                       {3, 4, 3, 401, 301}, orvane::pyramid_form::planar);
        fs::create_directories(vol);
        orvane::prepare_volume(vol, layout);
        for (int k : slices)
            orvane::write_volume_planes(vol, layout, k,
                                        orvane_test::read_tiff(full(k)).pixels.data(), 1);
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

// Noisy tiles, so that means round both ways, of sides and a slice count
// that are odd at some level: with flat voxels z halves from level 3 on,
// with cubes at once, without a voxel size never. Every level is computed
// in Python from the TIFFs.
TEST_F(Volume, EachVoxelSizeGivesTheLevelsComputedFromTheTiffs)
{
    std::ofstream file(list);
    for (int j = 0; j < 2; ++j)
        for (int k = 0; k < 7; ++k) {
            const std::string name =
                dir + "/n" + std::to_string(j) + "_" + std::to_string(k) + ".tif";
            orvane_test::write_tile(name, 1100, 301, [=](std::uint32_t x, std::uint32_t y) {
                std::uint32_t h = (x * 73856093u) ^ (y * 19349663u) ^ (k * 83492791u) ^ (j * 7u);
                h ^= h >> 13;
                h *= 0x5bd1e995u;
                return static_cast<std::uint16_t>((h ^ (h >> 15)) & 0xffffu);
            });
            file << name << "\n";
        }
    file.close();
    std::vector<std::string> checks{"--each"};
    for (const char* voxel : {"0.5,0.5,2", "1,1,1", ""}) {
        const std::string target = dir + "/v" + std::to_string(checks.size());
        std::vector<std::string> options{"-i", list, "-o",         target,
                                         "-s", "2",  "-x",         "4",
                                         "-y", "3",  "--ome-zarr", target + "/volume.ome.zarr"};
        if (*voxel)
            options.insert(options.end(), {"--voxel-size", voxel});
        const process_result made = run(options);
        ASSERT_EQ(made.exit_code, 0) << made.err;
        checks.insert(checks.end(), {target + "/volume.ome.zarr", target + "/stack1"});
    }
    // Level 3's depth: z halved once, three times, never.
    const auto level3_depth = [&](std::size_t k) {
        std::string text = orvane_test::read_file(checks[k] + "/3/.zarray");
        text.erase(std::remove_if(text.begin(), text.end(), ::isspace), text.end());
        const std::size_t at = text.find("\"shape\":[") + 9;
        return text.substr(at, text.find(',', at) - at);
    };
    EXPECT_EQ(level3_depth(1), "4");
    EXPECT_EQ(level3_depth(3), "1");
    EXPECT_EQ(level3_depth(5), "7");
    EXPECT_FALSE(exists(checks[5] + "/4"));
    const process_result checked = orvane_test::run_process(ORVANE_TEST_PYTHON, [&] {
        std::vector<std::string> all{ORVANE_CHECK_VOLUME};
        all.insert(all.end(), checks.begin(), checks.end());
        return all;
    }());
    EXPECT_EQ(checked.out + checked.err, "ok\n");
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
    // A chunk of slice 4, as a run stopped between its chunks and its TIFF leaves it.
    fs::remove(volume + "/0/4/0/0");
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

    // A level-1 chunk spans every slice: once it is gone, with the staged
    // data removed from the whole volume, each slice is made again.
    fs::remove(volume + "/1/0/0/1");
    std::string all_planes = all_done;
    for (int k = 0; k < 6; ++k)
        all_planes = with_state(all_planes, k, "planes");
    EXPECT_EQ(plan_of(args(out, volume)), all_planes);
    ASSERT_EQ(run(args(out, volume)).exit_code, 0);
    EXPECT_EQ(plan_of(args(out, volume)), all_done);

    // Slices made one task at a time: those made wait for the last, whose
    // task makes the chunks below level 0.
    const std::string fresh = dir + "/fresh/volume.ome.zarr";
    for (int k = 0; k < 5; ++k)
        ASSERT_EQ(run(args(out, fresh, {"-j", std::to_string(k)})).exit_code, 0);
    std::string waiting = all_done;
    for (int k = 0; k < 5; ++k)
        waiting = with_state(waiting, k, "pending");
    EXPECT_EQ(plan_of(args(out, fresh)), with_state(waiting, 5, "planes"));
    EXPECT_FALSE(exists(fresh + "/1/0/0/0"));
#ifdef ORVANE_E2E_WINDOWS
    // The claim below is locked by this Linux process, and a program under
    // Wine does not see a Linux lock: there the last slice's task just runs.
    ASSERT_EQ(run(args(out, fresh, {"-j", "5"})).exit_code, 0);
#else
    // A block another live run holds the claim of is left to it, and waited
    // for; a claim file nobody holds (a killed run's) is taken.
    const std::string claim = fresh + "/.staging/claims/1.0";
    fs::create_directories(fresh + "/.staging/claims");
    orvane_test::write_file(claim, "");
    const int held = orvane::platform::open_for_locking(claim);
    ASSERT_TRUE(held >= 0 && orvane::platform::try_lock(held));
    const int last = orvane_test::spawn_process(ORVANE_EXE, args(out, fresh, {"-j", "5"}),
                                                {"OMP_NUM_THREADS=2"});
    for (int wait = 0; wait < 200 && !exists(fresh + "/.staging/1/5"); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(exists(fresh + "/.staging/1/5"));
    EXPECT_FALSE(exists(fresh + "/1/0/0/0"));
    orvane::platform::close_file(held);
    const int status = orvane_test::wait_process(last);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
    EXPECT_EQ(plan_of(args(out, fresh)), all_done);
    EXPECT_EQ(differences(snapshot(fresh), snapshot(volume)), "");
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

// Array tasks each make one slice into the same volume at once: whichever
// finishes last makes the chunks below level 0, z halved or not.
TEST_F(Volume, SlicesMadeOnePerProcessEqualAOneProcessRun)
{
    for (const char* voxel : {"0.5,0.25,3", "1,1,1"}) {
        const std::string one = dir + "/one" + voxel, many = dir + "/many" + voxel;
        const std::string one_volume = one + "/volume.ome.zarr",
                          many_volume = many + "/volume.ome.zarr";
        ASSERT_EQ(run(set(args(one + "/out", one_volume), "--voxel-size", voxel)).exit_code, 0);
        std::vector<int> tasks;
        for (int k = 0; k < 6; ++k)
            tasks.push_back(orvane_test::spawn_process(
                ORVANE_EXE,
                set(args(many + "/out", many_volume, {"-j", std::to_string(k)}), "--voxel-size",
                    voxel),
                {"OMP_NUM_THREADS=1"}));
        for (int pid : tasks) {
            const int status = orvane_test::wait_process(pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        EXPECT_EQ(differences(snapshot(many_volume), snapshot(one_volume)), "") << voxel;
        EXPECT_EQ(differences(snapshot(many + "/out"), snapshot(one + "/out")), "") << voxel;
    }
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
    // A scale of infinity is written as null, a resolution of 1/1e-12 with a
    // denominator of 0; 3e8 is 1.2e9 in the reduced copies of -d 4.
    for (const char* unwritable : {"1e308,1,1", "1e-12,1,1", "1,1,1e308", "3e8,1,1"}) {
        rescaled.back() = unwritable;
        const process_result refused_size = run(rescaled);
        EXPECT_EQ(refused_size.exit_code, 1) << unwritable;
        EXPECT_NE(refused_size.err.find("cannot be written into the files"), std::string::npos)
            << refused_size.err;
    }
    // An empty path wrote no volume and said nothing.
    const process_result no_path = run(set(args(other, volume), "--ome-zarr", ""));
    EXPECT_EQ(no_path.exit_code, 1);
    EXPECT_EQ(no_path.err, "orvane: no volume path (--ome-zarr) is given; leave the option out for "
                           "no volume\n");
    EXPECT_FALSE(exists(other + "/stack1"));
    EXPECT_EQ(differences(snapshot(volume), before), "");
}

// Two first runs into one new volume, started together: the run whose
// attributes are there first makes the volume, and the other is refused as
// if it had been there before it started. Levels of both would mix two
// shapes no reader takes, or two geometries nothing tells apart.
TEST_F(Volume, OfTwoFirstRunsOfOtherGeometriesOneMakesTheVolumeAndTheOtherIsRefused)
{
    make_acquisition(3, 2, 64, 48);  // runs of milliseconds, 20 of them
    std::vector<std::string> checks{"--each"};
    for (int trial = 0; trial < 20; ++trial) {
        const std::string vol = dir + "/race" + std::to_string(trial) + ".ome.zarr";
        const std::string out_a = dir + "/a" + std::to_string(trial);
        const std::string out_b = dir + "/b" + std::to_string(trial);
        const std::vector<std::string> a = args(out_a, vol);
        const std::vector<std::string> b =
            trial % 3 == 0   ? set(args(out_b, vol), "-x", "6")
            : trial % 3 == 1 ? set(args(out_b, vol), "-y", "5")
                             : set(args(out_b, vol), "--voxel-size", "0.5,0.25,2");
        const int pid_a = orvane_test::spawn_process(ORVANE_EXE, a, {"OMP_NUM_THREADS=1"});
        const int pid_b = orvane_test::spawn_process(ORVANE_EXE, b, {"OMP_NUM_THREADS=1"});
        const int status_a = orvane_test::wait_process(pid_a);
        const int status_b = orvane_test::wait_process(pid_b);
        const auto exited = [](int status, int code) {
            return WIFEXITED(status) && WEXITSTATUS(status) == code;
        };
        ASSERT_NE(exited(status_a, 0), exited(status_b, 0))
            << "trial " << trial << ": statuses " << status_a << " and " << status_b;
        EXPECT_TRUE(exited(exited(status_a, 0) ? status_b : status_a, 2)) << "trial " << trial;
        checks.insert(checks.end(), {vol, (exited(status_a, 0) ? out_a : out_b) + "/stack1"});
    }
    const process_result checked = orvane_test::run_process(ORVANE_TEST_PYTHON, [&] {
        std::vector<std::string> all{ORVANE_CHECK_VOLUME};
        all.insert(all.end(), checks.begin(), checks.end());
        return all;
    }());
    EXPECT_EQ(checked.out + checked.err, "ok\n");
}

// A chunk cut short, overwritten or emptied is taken by no reader, while the
// TIFF beside it marks its slice done: its header tells, and the slice's
// planes are made again, in the run and in the plan's state.
TEST_F(Volume, ADamagedChunkIsNamedAndItsSlicesPlanesAreMadeAgain)
{
    ASSERT_EQ(run(args(out, volume)).exit_code, 0);
    const auto made = snapshot(volume);
    const auto tiffs = snapshot(out);
    const std::string garbage = volume + "/0/1/0/1", empty = volume + "/0/3/0/0",
                      cut = volume + "/0/4/0/0";
    std::string noise = orvane_test::read_file(garbage);
    std::mt19937 rng(3);
    for (char& c : noise)
        c = static_cast<char>(rng());
    orvane_test::write_file(garbage, noise);
    orvane_test::write_file(empty, "");
    const std::string whole = orvane_test::read_file(cut);
    orvane_test::write_file(cut, whole.substr(0, whole.size() - 1));

    const process_result plan = run(args(out, volume, {"--plan"}));
    EXPECT_EQ(plan.exit_code, 0);
    const std::vector<std::string> states = lines(plan.out);
    ASSERT_EQ(states.size(), 7u) << plan.out;
    for (int k = 0; k < 6; ++k) {
        const std::string state = k == 1 || k == 3 || k == 4 ? "planes" : "done";
        EXPECT_EQ(states[k + 1].rfind(std::to_string(k) + "\t" + state + "\t", 0), 0u)
            << states[k + 1];
    }
    for (const std::string& chunk : {garbage, empty, cut})
        EXPECT_NE(plan.err.find("'" + chunk + "' is not a complete Blosc chunk ("),
                  std::string::npos)
            << plan.err;
    EXPECT_NE(plan.err.find("/0/3/0/0' is not a complete Blosc chunk (it is empty); the planes "
                            "of slice 3 are made again from its tiles"),
              std::string::npos)
        << plan.err;

    const process_result rerun = run(args(out, volume));
    ASSERT_EQ(rerun.exit_code, 0) << rerun.err;
    EXPECT_NE(rerun.err.find(cut), std::string::npos) << rerun.err;
    EXPECT_EQ(differences(snapshot(volume), made), "");
    EXPECT_EQ(differences(snapshot(out), tiffs), "");
    EXPECT_EQ(run(args(out, volume)).err, "");
}

// Somebody else's data at the path would be written around and shadowed by
// this run's levels: it is refused and left as it is, by the plan too.
TEST_F(Volume, AnotherProgramsDataAtThePathIsRefusedAndLeftAsItIs)
{
    const std::vector<std::pair<std::string, std::map<std::string, std::string>>> cases = {
        {".zarray",
         {{".zarray", R"({"zarr_format": 2, "shape": [4], "chunks": [4], "dtype": "<u2",
                          "compressor": null, "fill_value": 0, "order": "C", "filters": null})"},
          {"0", "12345678"}}},
        {"zarr.json", {{"zarr.json", R"({"zarr_format": 3, "node_type": "group"})"}}},
        {".zgroup", {{".zgroup", R"({"zarr_format": 2})"}, {"0/.zarray", "{}"}}},
        {".zattrs",
         {{".zgroup", R"({"zarr_format": 2})"},
          {".zattrs", R"({"multiscales": [{"version": "0.4", "metadata": {"method": "x"}}]})"}}},
        {"it holds 'notes.txt'", {{"notes.txt", "mine"}}},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto& [named, files] = cases[k];
        const std::string vol = dir + "/theirs" + std::to_string(k);
        for (const auto& [name, text] : files) {
            fs::create_directories(fs::path(vol + "/" + name).parent_path());
            orvane_test::write_file(vol + "/" + name, text);
        }
        const process_result refused = run(args(out, vol));
        EXPECT_EQ(refused.exit_code, 2) << named;
        EXPECT_NE(refused.err.find("is not this run's"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find(named), std::string::npos) << refused.err;
        const process_result plan = run(args(out, vol, {"--plan"}));
        EXPECT_EQ(plan.exit_code, 2) << named;
        EXPECT_EQ(plan.err, refused.err);
        EXPECT_EQ(differences(snapshot(vol), files), "") << named;
    }
    const std::string file = dir + "/a_file";
    orvane_test::write_file(file, "mine");
    const process_result refused = run(args(out, file));
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_NE(refused.err.find("it is no directory"), std::string::npos) << refused.err;
    EXPECT_EQ(orvane_test::read_file(file), "mine");
    EXPECT_FALSE(exists(out + "/stack1"));
}

// -y moves pixels without changing the mosaic's size: only the recorded
// geometry tells such a run from the one that made the volume. The plan
// refuses what the run refuses, or every task of an array would fail. A
// volume from before the geometry was recorded is still taken.
TEST_F(Volume, AnotherGeometryIsRefusedByTheRunAndThePlanAndAnOlderVolumeStillTaken)
{
    ASSERT_EQ(run(args(out, volume)).exit_code, 0);
    const auto before = snapshot(volume);
    const std::string other = dir + "/other";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {set(args(other, volume), "-y", "5"),
         "/.zattrs' is not this run's: its orvane.yoffset is 3 where this run's is 5"},
        {set(args(other, volume), "-x", "6"),
         "/0/.zarray' is not this run's: its shape is [6,301,1179] where this run's is "
         "[6,301,1167]"},
    };
    for (const auto& [options, said] : cases) {
        const process_result refused = run(options);
        EXPECT_EQ(refused.exit_code, 2);
        EXPECT_NE(refused.err.find(said), std::string::npos) << refused.err;
        std::vector<std::string> plan_options = options;
        plan_options.push_back("--plan");
        const process_result plan = run(plan_options);
        EXPECT_EQ(plan.exit_code, 2);
        EXPECT_EQ(plan.err, refused.err);
        EXPECT_EQ(plan.out, "");
    }
    EXPECT_FALSE(exists(other + "/stack1"));
    EXPECT_EQ(differences(snapshot(volume), before), "");

    // A planar volume with attributes as the version before those wrote
    // them: taken, not added to, and finished in its own form.
    const std::string planar = dir + "/planar/volume.ome.zarr";
    write_planar_volume(planar, {0, 1, 3, 4, 5});
    std::string older = orvane_test::read_file(planar + "/.zattrs");
    older = older.substr(0, older.find(",\n    \"orvane\"")) + "\n}\n";
    orvane_test::write_file(planar + "/.zattrs", older);
    fs::remove(full(2));
    const process_result rerun = run(args(out, planar));
    EXPECT_EQ(rerun.exit_code, 0) << rerun.err;
    EXPECT_NE(rerun.err.find("records no geometry"), std::string::npos) << rerun.err;
    EXPECT_EQ(orvane_test::read_file(planar + "/.zattrs"), older);
    EXPECT_TRUE(exists(planar + "/1/2/0/0"));
    EXPECT_EQ(check(planar, out), "ok\n");
}

// A volume of the planar form a run stopped in: resumed, its missing slices
// are made in that form, slice by slice at every level, and it reads as one
// written whole in it; the plan knows no pending slice there.
TEST_F(Volume, APlanarVolumeIsFinishedInItsOwnForm)
{
    ASSERT_EQ(run(args(out, dir + "/first.ome.zarr")).exit_code, 0);
    const std::string whole = dir + "/whole/volume.ome.zarr";
    write_planar_volume(whole, {0, 1, 2, 3, 4, 5});
    write_planar_volume(volume, {0, 1, 3});
    fs::remove(full(4));
    const auto attributes = orvane_test::read_file(volume + "/.zattrs");
    const process_result plan = run(args(out, volume, {"--plan"}));
    EXPECT_EQ(plan.exit_code, 0) << plan.err;
    EXPECT_EQ(lines(plan.out).at(3).substr(0, 9), "2\tplanes\t");
    EXPECT_EQ(lines(plan.out).at(5).substr(0, 7), "4\tmake\t");
    const process_result resumed = run(args(out, volume));
    ASSERT_EQ(resumed.exit_code, 0) << resumed.err;
    EXPECT_EQ(orvane_test::read_file(volume + "/.zattrs"), attributes);
    EXPECT_EQ(differences(snapshot(volume), snapshot(whole)), "");
    EXPECT_EQ(check(volume, out), "ok\n");
}

// Metadata nested 200 000 deep crashed the reading; a value of a megabyte
// went whole into the message.
TEST_F(Volume, DeepOrHugeMetadataIsRefusedWithAShortMessage)
{
    ASSERT_EQ(run(args(out, volume)).exit_code, 0);
    const std::string array = orvane_test::read_file(volume + "/1/.zarray");
    std::string huge = array;
    huge.replace(huge.find("\"<u2\""), 5, "\"" + std::string(1000000, 'x') + "\"");
    orvane_test::write_file(volume + "/1/.zarray", huge);
    const process_result long_value = run(args(out, volume));
    EXPECT_EQ(long_value.exit_code, 2);
    EXPECT_LT(long_value.err.size(), 1000u);
    EXPECT_NE(long_value.err.find("its dtype is \"xxxx"), std::string::npos) << long_value.err;
    orvane_test::write_file(volume + "/1/.zarray", array);

    // Parsed, then compared: the comparison recursed 200 000 deep.
    orvane_test::write_file(volume + "/0/.zarray",
                            "{\"zarr_format\": 2, \"shape\": " + std::string(200000, '[') +
                                std::string(200000, ']') + "}");
    for (const char* extra : {"", "--plan"}) {
        const process_result deep = run(args(out, volume, {extra}));
        EXPECT_EQ(deep.exit_code, 2) << extra;
        EXPECT_NE(deep.err.find("/0/.zarray' is not this run's: it nests deeper than 100 levels"),
                  std::string::npos)
            << deep.err;
    }
}

}  // namespace
