// The real binary on small acquisitions made at test time.
#include "run_fixture.hpp"

#include <cstring>

namespace {

using namespace orvane_e2e;

const std::string usage =
    "Usage:\n  Orvane -i list.txt -s splitnumber -x xoverlap -y yoffset -d downsample -o outputdir "
    "-j singlenum \n"
    "          the default splitnumber is 4 \n"
    "          the default xoverlap is 0 \n"
    "          the default yoffset is 0 \n"
    "          the default downsample is 1 \n"
    "          the default singlenum is -1 \n";

TEST_F(Run, NoArgumentsPrintsOnlyTheUsage)
{
    const process_result r = run({});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage);
}

TEST_F(Run, EchoesAndStopsWithoutAList)
{
    const process_result r = run({"x"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, shown_exe + " x \nno list.txt!\n");
    EXPECT_EQ(r.err, "");
}

// --help and --version answer on standard output and run nothing, wherever
// they stand among options; given as an option's value, each is that value.
TEST_F(Run, HelpAndVersionPrintOnStandardOutputAndRunNothing)
{
    make_acquisition(2, 2);
    const process_result help = run({"-i", list, "-o", out, "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: orvane -i list.txt", 0), 0) << help.out;
    for (const char* option : {"-i", "-o", "-s", "-x", "-y", "-d", "-j", "--ome-zarr",
                               "--voxel-size", "--plan", "--flat-field", "--match-gain",
                               "--register", "--blend", "--seamless", "--help", "--version"})
        EXPECT_NE(help.out.find("\n  " + std::string(option) + " "), std::string::npos) << option;

    const process_result version = run({"--version", "-i", list, "-o", out});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.err, "");
    EXPECT_TRUE(orvane_test::is_version_line(version.out, "orvane")) << version.out;
    EXPECT_FALSE(exists(out));

    const process_result value = run({"-o", "--help", "-i", "--version"});
    EXPECT_EQ(value.exit_code, 0);
    EXPECT_EQ(value.out, shown_exe + " -o --help -i --version \nno list.txt!\n");
}

TEST_F(Run, WritesEveryMosaicAndReportsIt)
{
    make_acquisition(3, 4);
    const process_result r =
        run({"-i", list, "-o", out, "-s", "3", "-x", "2", "-y", "1"}, {"OMP_NUM_THREADS=1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> expected_lines{shown_exe + " -i " + list + " -o " + out +
                                                      " -s 3 -x 2 -y 1 ",
                                                  "origin file count is \t12",
                                                  "the split number is \t3",
                                                  "the output image is \t4",
                                                  "the xoffset is \t2",
                                                  "the yoffset is \t1",
                                                  "the downsample is \t1",
                                                  full(0) + " done!",
                                                  full(0) + " done!",
                                                  full(1) + " done!",
                                                  full(1) + " done!",
                                                  full(2) + " done!",
                                                  full(2) + " done!",
                                                  full(3) + " done!",
                                                  full(3) + " done!"};
    EXPECT_EQ(lines(r.out), expected_lines);

    for (int k = 0; k < 4; ++k) {
        const auto image = orvane_test::read_tiff(full(k));
        ASSERT_EQ(image.width, 60u);
        ASSERT_EQ(image.height, 16u);
        EXPECT_EQ(image.bits, 16);
        EXPECT_EQ(image.samples, 1);
        EXPECT_EQ(image.compression, 5);  // LZW
        // Canvas column 20 * j holds tile column 21 (flipped), shifted down j rows.
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(image.at(20 * j, 5), 1000 * j + 100 * k + 21 + 5 - j);
            EXPECT_EQ(image.at(20 * j + 19, 5), 1000 * j + 100 * k + 2 + 5 - j);
        }
        EXPECT_EQ(image.at(20, 0), 0);  // column 1's top row is uncovered
    }
}

TEST_F(Run, ASecondRunReportsDoneAndRewritesNothing)
{
    make_acquisition(2, 5);
    ASSERT_EQ(run({"-i", list, "-o", out, "-s", "2"}).exit_code, 0);
    struct stat before {};
    ASSERT_EQ(::stat(full(2).c_str(), &before), 0);
    const std::string bytes = orvane_test::read_file(full(2));

    const process_result again = run({"-i", list, "-o", out, "-s", "2"});
    ASSERT_EQ(again.exit_code, 0) << again.err;
    std::vector<std::string> done = lines(again.out);
    done.erase(done.begin(), done.begin() + 7);  // echo and summary
    std::vector<std::string> expected;
    for (int k = 0; k < 5; ++k)
        expected.push_back(full(k) + " done!");
    EXPECT_EQ(sorted(done), expected);

    struct stat after {};
    ASSERT_EQ(::stat(full(2).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(orvane_test::read_file(full(2)), bytes);
}

TEST_F(Run, OnlyTheChosenSliceIsProduced)
{
    make_acquisition(2, 5);
    const process_result r = run({"-i", list, "-o", out, "-s", "2", "-j", "3"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> produced = lines(r.out);
    produced.erase(produced.begin(), produced.begin() + 7);
    EXPECT_EQ(sorted(produced), sorted({"0 skip!", "1 skip!", "2 skip!", "4 skip!",
                                        full(3) + " done!", full(3) + " done!"}));
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(exists(full(k)), k == 3) << k;
}

// Scripts act on --plan's standard output alone: an echo or summary line
// there, a directory made, or a state other than the run's would misdirect
// them.
TEST_F(Run, ThePlanPrintsTheSlicesAloneAndMakesNothing)
{
    make_acquisition(2, 3);
    const std::vector<std::string> options{"-i", list, "-o", out, "-s", "2", "-d", "2"};
    const auto plan_of = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), options.begin(), options.end());
        extra.push_back("--plan");
        return run(extra);
    };
    const auto line = [&](int k, const std::string& state) {
        return std::to_string(k) + "\t" + state + "\t" + full(k) + "\t" + output(2, k) + "\n";
    };
    process_result r = plan_of({});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "slices\t3\n" + line(0, "make") + line(1, "make") + line(2, "make"));
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(exists(out));

    std::vector<std::string> one = options;
    one.insert(one.end(), {"-j", "1"});
    ASSERT_EQ(run(one).exit_code, 0);
    r = plan_of({"-j", "2"});
    EXPECT_EQ(r.out, "slices\t3\n" + line(0, "skip") + line(1, "skip") + line(2, "make"));
    r = plan_of({});
    EXPECT_EQ(r.out, "slices\t3\n" + line(0, "make") + line(1, "done") + line(2, "make"));

    r = run({"-i", dir + "/no list.txt", "-o", out, "--plan"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "slices\t0\n");
    r = run({"-i", list, "-s", "2", "--plan"});  // no -o
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
}

// A wrong array range on a cluster must not pass silently.
TEST_F(Run, AnIndexPastTheLastSliceWarnsButSucceeds)
{
    make_acquisition(2, 5);
    const process_result r = run({"-i", list, "-o", out, "-s", "2", "-j", "9"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(sorted(slice_lines(r.out)),
              (std::vector<std::string>{"0 skip!", "1 skip!", "2 skip!", "3 skip!", "4 skip!"}));
    EXPECT_EQ(r.err, "orvane: warning: slice index 9 (-j) is not below the slice count 5: no "
                     "slice is produced\n");
    EXPECT_FALSE(exists(full(0)));
}

TEST_F(Run, AnythingAtTheOutputNameCountsAsDone)
{
    make_acquisition(1, 2);
    ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
    ASSERT_EQ(::mkdir((out + "/stack1").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(full(0).c_str(), 0777), 0);
    const process_result r = run({"-i", list, "-o", out, "-s", "1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(full(0) + " done!\n"), std::string::npos);
    EXPECT_EQ(orvane_test::read_tiff(full(1)).width, 24u);
}

// An error inside a worker must not abort the process (no SIGABRT), must be
// reported once, and must leave the other slices complete.
TEST_F(Run, AMissingTileEndsTheRunWithOneReport)
{
    make_acquisition(2, 6);
    std::remove(names[4].c_str());  // column 0, slice 4
    const process_result r = run({"-i", list, "-o", out, "-s", "2"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 2);
    const std::string report =
        "\n[CImg] *** CImgIOException *** [instance(0,0,0,0," + null_pointer +
        ",non-shared)] "
        "CImg<uint16>::load(): Failed to open file '" +
        names[4] +
        "': " + system_says("No such file or directory", "File not found (Windows error 2)") +
        ".\n";
    EXPECT_EQ(r.err, report);
    EXPECT_FALSE(exists(full(4)));
    for (int k = 0; k < 6; ++k) {
        if (exists(full(k))) {
            EXPECT_EQ(orvane_test::read_tiff(full(k)).width, 48u) << k;
        }
    }
}

// The failure reported is the lowest failing slice's, whichever step failed
// and however the workers were timed: a rename failing after the loop has
// stopped for a later slice's unreadable tile is not dropped, nor the
// reverse.
TEST_F(Run, TheLowestFailingSliceIsReportedWhicheverStepFailed)
{
    make_acquisition(2, 6);
    const std::string missing_read = "Failed to open file '";
    const std::string failed_rename = "': cannot rename '";
    for (const char* threads : {"OMP_NUM_THREADS=1", "OMP_NUM_THREADS=2"}) {
        for (const bool rename_first : {true, false}) {
            SCOPED_TRACE(std::string(threads) + (rename_first ? ", rename below" : ", read below"));
            std::filesystem::remove_all(out);
            make_acquisition(2, 6);
            // A directory at a reduced name fails that slice's rename.
            const int renamed = rename_first ? 3 : 4, unread = rename_first ? 4 : 3;
            std::filesystem::create_directories(output(2, renamed));
            std::remove(names[static_cast<std::size_t>(unread)].c_str());  // column 0
            const process_result r = run({"-i", list, "-o", out, "-s", "2", "-d", "2"}, {threads});
            EXPECT_EQ(r.exit_code, 2);
            if (rename_first) {
                EXPECT_NE(r.err.find("Failed to write file '" + output(2, 3) + failed_rename),
                          std::string::npos)
                    << r.err;
            } else {
                EXPECT_NE(r.err.find(missing_read + names[3] + "'"), std::string::npos) << r.err;
            }
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;  // one report
        }
    }
}

// A worker syncs and renames a slice while it makes the next one. With one
// worker the lines still come in slice order, mixed with those of slices
// found done, and a slice that fails does not take the one before it along.
TEST_F(Run, OneWorkerKeepsSliceOrderAndCommitsTheSliceBeforeAFailure)
{
    make_acquisition(2, 6);
    ASSERT_EQ(run({"-i", list, "-o", out, "-s", "2", "-j", "1"}).exit_code, 0);
    ASSERT_EQ(run({"-i", list, "-o", out, "-s", "2", "-j", "2"}).exit_code, 0);
    std::remove(names[4].c_str());  // column 0, slice 4
    const process_result r = run({"-i", list, "-o", out, "-s", "2"}, {"OMP_NUM_THREADS=1"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(slice_lines(r.out), (std::vector<std::string>{
                                      full(0) + " done!", full(0) + " done!", full(1) + " done!",
                                      full(2) + " done!", full(3) + " done!", full(3) + " done!"}));
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(exists(full(k)), k < 4) << k;
    // Nothing but the four mosaics: no temporary of the failed slice is left.
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out + "/stack1")) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 4u);
}

// Several slices of one worker may be syncing at once; their renames and
// lines must still follow the slice order.
TEST_F(Run, OneWorkerReportsEverySliceInOrder)
{
    make_acquisition(2, 16);
    const process_result r =
        run({"-i", list, "-o", out, "-s", "2", "-d", "2"}, {"OMP_NUM_THREADS=1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> expected;
    for (int k = 0; k < 16; ++k) {
        expected.push_back(full(k) + " done!");
        expected.push_back(output(2, k) + " done!");
    }
    EXPECT_EQ(slice_lines(r.out), expected);
}

// What a terminal shows of text written to it, and every state a line had
// before a carriage return or line feed moved on from it. A carriage return
// starts the line again, a tab moves to the next multiple of 8 columns, and
// of the escape sequences a Windows console under Wine writes, ESC [ K
// clears to the end of the line and ESC [ n C moves n columns on; trailing
// blanks do not show.
struct screen {
    std::vector<std::string> lines{""};
    std::vector<std::string> seen;
};

std::string without_trailing_blanks(std::string line)
{
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
}

screen on_screen(const std::string& written)
{
    screen shown;
    std::size_t column = 0;
    for (std::size_t at = 0; at < written.size(); ++at) {
        std::string& line = shown.lines.back();
        const char c = written[at];
        if (c == '\n' || c == '\r') {
            shown.seen.push_back(without_trailing_blanks(line));
            if (c == '\n')
                shown.lines.emplace_back();
            column = 0;
        } else if (c == '\t') {
            column = (column / 8 + 1) * 8;
        } else if (c == '\x1b' && at + 1 < written.size() && written[at + 1] == '[') {
            const std::size_t end = written.find_first_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", at + 2);
            if (end == std::string::npos)
                break;  // cut off: nothing more shows
            const std::string count = written.substr(at + 2, end - at - 2);
            if (written[end] == 'K' && line.size() > column)
                line.resize(column);
            if (written[end] == 'C')
                column += count.empty() ? 1 : std::stoul(count);
            at = end;
        } else {
            line.resize(std::max(line.size(), column + 1), ' ');
            line[column++] = c;
        }
    }
    for (std::string& line : shown.lines)
        line = without_trailing_blanks(line);
    return shown;
}

bool any_contains(const std::vector<std::string>& lines, const std::string& text)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
}

// With standard error on a terminal, a progress line is drawn there and
// rewritten in place. A console line on the same terminal never lands inside
// it, none of it is left at the end, and standard output carries byte for
// byte what it carries when both streams are redirected, when standard error
// gets nothing at all.
TEST_F(Run, AProgressLineOnATerminalLeavesTheConsoleLinesAsTheyAre)
{
    make_acquisition(2, 6);
    std::string command = "OMP_NUM_THREADS=1 '" + std::string(ORVANE_EXE) + "'";
    for (const std::string arg : {"-i", list.c_str(), "-o", out.c_str(), "-s", "2", "-d", "2"})
        command += " '" + arg + "'";
    const std::string log = dir + "/log.txt", errors = dir + "/errors.txt";
    // Both streams redirected: what a script sees, byte for byte.
    ASSERT_EQ(orvane_test::run_process("/bin/sh", {"-c", command + " >" + log + " 2>" + errors})
                  .exit_code,
              0);
    const std::string redirected = orvane_test::read_file(log);
    EXPECT_EQ(orvane_test::read_file(errors), "");

    // script gives the command a terminal of its own, wide enough for every
    // line, and copies what the terminal received to its standard output.
    const auto on_terminal = [&](const std::string& redirections) {
        std::filesystem::remove_all(out);
        return orvane_test::run_process(
            "/usr/bin/script", {"-qec", "stty cols 400; " + command + redirections, "/dev/null"});
    };

    const process_result both = on_terminal("");
    ASSERT_EQ(both.exit_code, 0) << both.out << both.err;
    const screen both_shown = on_screen(both.out);
    EXPECT_TRUE(any_contains(both_shown.seen, "orvane: 6 of 6 slices made, ")) << both.out;
    std::vector<std::string> expected;
    for (const std::string& line : lines(redirected))
        expected.push_back(on_screen(line).lines.front());
    expected.push_back("");  // the progress line is gone
    EXPECT_EQ(both_shown.lines, expected) << both.out;

    const process_result error_only = on_terminal(" >" + log);
    ASSERT_EQ(error_only.exit_code, 0) << error_only.out << error_only.err;
    const screen error_shown = on_screen(error_only.out);
    EXPECT_TRUE(any_contains(error_shown.seen, "orvane: 6 of 6 slices made, ")) << error_only.out;
    EXPECT_EQ(error_shown.lines, std::vector<std::string>{""}) << error_only.out;
    EXPECT_EQ(orvane_test::read_file(log), redirected);

    const process_result output_only = on_terminal(" 2>" + errors);
    ASSERT_EQ(output_only.exit_code, 0) << output_only.out << output_only.err;
    EXPECT_EQ(orvane_test::read_file(errors), "");
}

// A file at a final name marks its slice done, but one cut short (by another
// program, or a crash of one that writes in place) is named on every rerun.
TEST_F(Run, ARerunNamesEveryBrokenFileAtAFinalNameAndNothingElse)
{
    make_acquisition(2, 5);
    ASSERT_EQ(run({"-i", list, "-o", out, "-s", "2"}).exit_code, 0);
    orvane_test::write_file(full(1), "");
    const std::string whole = orvane_test::read_file(full(3));
    orvane_test::write_file(full(3), whole.substr(0, whole.size() / 2));
    // A directory that opens but whose strip runs past the end: the one strip's
    // byte count (tag 279, inline in its entry) made larger than the file.
    std::string patched = orvane_test::read_file(full(4));
    std::uint32_t ifd = 0;
    std::memcpy(&ifd, patched.data() + 4, 4);
    std::uint16_t entries = 0;
    std::memcpy(&entries, patched.data() + ifd, 2);
    for (std::uint16_t e = 0; e < entries; ++e) {
        char* entry = patched.data() + ifd + 2 + 12 * e;
        std::uint16_t tag = 0;
        std::memcpy(&tag, entry, 2);
        const auto past_end = static_cast<std::uint32_t>(patched.size());
        if (tag == 279)
            std::memcpy(entry + 8, &past_end, 4);
    }
    orvane_test::write_file(full(4), patched);
    std::filesystem::create_directory(full(0) + ".dir");
    const process_result r = run({"-i", list, "-o", out, "-s", "2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> warned;
    for (const std::string& line : lines(r.err)) {
        EXPECT_NE(line.find("remove the file to have the slice made again"), std::string::npos)
            << line;
        warned.push_back(line.substr(0, line.find("' is not a complete TIFF file")));
    }
    EXPECT_EQ(warned, (std::vector<std::string>{"orvane: warning: '" + full(1),
                                                "orvane: warning: '" + full(3),
                                                "orvane: warning: '" + full(4)}));
    EXPECT_EQ(slice_lines(r.out).size(), 5u);  // every slice still done
}

TEST_F(Run, AnUnreadableReferenceTileIsReported)
{
    make_acquisition(1, 2);
    orvane_test::write_file(names[0], "not an image");
    const process_result r = run({"-i", list, "-o", out, "-s", "1"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("[CImg] *** CImgIOException *** "), std::string::npos) << r.err;
    EXPECT_FALSE(exists(out));
}

TEST_F(Run, TooFewNamesForOneSliceProducesNothing)
{
    make_acquisition(1, 3);
    const process_result r = run({"-i", list, "-o", out, "-s", "4"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("the output image is \t0\n"), std::string::npos);
    EXPECT_FALSE(exists(out));
}

TEST_F(Run, OptionValuesThatCannotMakeAMosaicAreRefused)
{
    make_acquisition(2, 2);
    const process_result zero = run({"-i", list, "-o", out, "-s", "0"});
    EXPECT_EQ(zero.exit_code, 1);
    EXPECT_NE(zero.err.find("split number"), std::string::npos) << zero.err;
    EXPECT_EQ(zero.out.find("origin file count"), std::string::npos);

    const process_result wide = run({"-i", list, "-o", out, "-s", "2", "-x", "12"});
    EXPECT_EQ(wide.exit_code, 1);
    EXPECT_NE(wide.err.find("-x"), std::string::npos) << wide.err;
    EXPECT_NE(wide.out.find("the downsample is \t1\n"), std::string::npos);  // after the summary
    EXPECT_FALSE(exists(full(0)));

    // Without -o the mosaics would go to the file-system root.
    const process_result no_output = run({"-i", list, "-s", "2"});
    EXPECT_EQ(no_output.exit_code, 1);
    EXPECT_NE(no_output.err.find("pass -o . for the current directory"), std::string::npos)
        << no_output.err;
    EXPECT_EQ(run({"-i", list, "-o", "", "-s", "2"}).exit_code, 1);

    // A canvas whose width passes 32 bits is refused with its size, never
    // written empty, all zero or failed with a bare bad_alloc.
    for (const char* xoverlap : {"-536870784", "-536870848", "-1000000000"}) {
        const process_result huge = run({"-i", list, "-o", out, "-s", "2", "-x", xoverlap});
        EXPECT_EQ(huge.exit_code, 1) << xoverlap;
        const std::int64_t width = (24 - 2 * std::int64_t{std::atoi(xoverlap)}) * 2;
        EXPECT_NE(huge.err.find("orvane: a mosaic of " + std::to_string(width) + " x 16 pixels"),
                  std::string::npos)
            << huge.err;
        EXPECT_FALSE(exists(full(0))) << xoverlap;
    }
}

// An address-space limit counts every mapping: workers sized by the
// computer's memory alone fail to allocate their canvases under ulimit -v,
// and the run ends after a few slices.
TEST_F(Run, AnAddressSpaceLimitLowersTheWorkersAndEverySliceIsMade)
{
    SKIP_ON_WINDOWS("Wine itself does not start under a low address-space limit");
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of shadow address space at start";
#endif
    // Four tiles of 4096 x 2048 make canvases of 64 MiB; each is listed
    // eight times for eight slices. Two arenas keep the allocator's share
    // of the address space small beside them: eight workers then take
    // about 730 MiB of address space, one about 270 MiB.
    std::ofstream file(list);
    for (int j = 0; j < 4; ++j) {
        const std::string name = dir + "/t" + std::to_string(j) + ".tif";
        orvane_test::write_tile(name, 4096, 2048, [=](std::uint32_t, std::uint32_t) {
            return static_cast<std::uint16_t>(j);
        });
        for (int k = 0; k < 8; ++k)
            file << name << "\n";
    }
    file.close();
    const process_result r = orvane_test::run_process(
        "/bin/sh",
        {"-c", "ulimit -v 573440 && exec \"$0\" \"$@\"", ORVANE_EXE, "-i", list, "-o", out},
        {"OMP_NUM_THREADS=8", "MALLOC_ARENA_MAX=2"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find(" slices at once instead of 8 ("), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" and the address-space limit (ulimit -v) is 560.0 MiB, "),
              std::string::npos)
        << r.err;
    for (int k = 0; k < 8; ++k)
        EXPECT_TRUE(exists(full(k))) << k;
}

}  // namespace
