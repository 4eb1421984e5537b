// Real write failures: a file-size limit and an output directory that cannot exist.
#include "run_fixture.hpp"

namespace {

using namespace orvane_e2e;
namespace fs = std::filesystem;

class WriteFailure : public Run {
protected:
    // Every file left under outputdir: finals must decode, temporaries must not exist.
    void expect_only_complete_outputs()
    {
        if (!fs::exists(out))
            return;
        for (const auto& entry : fs::recursive_directory_iterator(out)) {
            if (!entry.is_regular_file())
                continue;
            const std::string name = entry.path().filename();
            if (name.rfind("zstackds_", 0) != 0)
                continue;
            EXPECT_EQ(name.find(".part"), std::string::npos) << "temporary left: " << name;
            if (fs::file_size(entry.path()) > 0) {
                EXPECT_GT(orvane_test::read_tiff(entry.path()).width, 0u) << entry.path();
            }
        }
    }

    // A failed run reports once, in the image library's format: the one
    // report, without its leading blank line.
    static std::string the_report(const std::string& err)
    {
        const std::string start = "\n[CImg] *** CImgIOException *** ";
        EXPECT_EQ(err.rfind(start, 0), 0u) << err;
        EXPECT_EQ(err.find(start, 1), std::string::npos) << "reported twice: " << err;
        return err.substr(1);
    }

    // The start of a write failure's report for this path.
    static std::string write_failure(const std::string& path)
    {
        return "[CImg] *** CImgIOException *** [instance(0,0,0,0," + null_pointer +
               ",non-shared)] "
               "CImg<uint16>::save_tiff(): Failed to write file '" +
               path;
    }
};

// A quota or a full disk shows up as a write that fails part-way; with
// SIGXFSZ ignored the process sees EFBIG, as it would see ENOSPC.
TEST_F(WriteFailure, AFileSizeLimitIsReportedOnceAndLeavesNoBrokenFile)
{
    make_acquisition(3, 4, 400, 300);  // mosaics of about 700 KB
    const std::string command = "trap '' XFSZ; ulimit -f 256; exec \"$0\" \"$@\"";
    const process_result r = orvane_test::run_process(
        "/bin/bash", {"-c", command, ORVANE_EXE, "-i", list, "-o", out, "-s", "3", "-d", "2"},
        {"OMP_NUM_THREADS=2"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 2);
    // Both workers may fail at once; the lowest failing slice is reported,
    // naming its file.
    const std::string report = the_report(r.err);
    const std::string start = write_failure(out + "/stack1//zstackds_1_000");
    EXPECT_EQ(report.rfind(start, 0), 0u) << report;
    EXPECT_NE(report.find(".part': cannot write: " +
                              system_says("File too large", "General failure (Windows error 31)") +
                              ".",
                          start.size()),
              std::string::npos)
        << report;
    EXPECT_EQ(r.out.find(" done!"), std::string::npos) << r.out;
    expect_only_complete_outputs();
}

// One slice on two threads writes its strips while the next ones are encoded:
// a failed write there must end the slice the same way.
TEST_F(WriteFailure, ASingleSliceOnTwoThreadsReportsTheLimitOnce)
{
    make_acquisition(3, 2, 400, 1500);  // one mosaic of 3.6 MB, written in 4 batches
    const std::string command = "trap '' XFSZ; ulimit -f 256; exec \"$0\" \"$@\"";
    const process_result r = orvane_test::run_process(
        "/bin/bash",
        {"-c", command, ORVANE_EXE, "-i", list, "-o", out, "-s", "3", "-d", "2", "-j", "1"},
        {"OMP_NUM_THREADS=2"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 2);
    const std::string report = the_report(r.err);
    EXPECT_EQ(report.rfind(write_failure(full(1) + "."), 0), 0u) << report;
    EXPECT_NE(report.find(system_says("File too large", "General failure (Windows error 31)")),
              std::string::npos)
        << report;
    EXPECT_EQ(r.out.find(" done!"), std::string::npos) << r.out;
    expect_only_complete_outputs();
    EXPECT_FALSE(fs::exists(full(1)));
}

// Under a file-size limit the kernel sends SIGXFSZ, which would kill the run
// with no word and leave its temporaries: the program ignores it itself and
// reports the failed write like any other.
TEST_F(WriteFailure, AFileSizeLimitIsReportedWhenTheCallerLeavesTheSignalOn)
{
    SKIP_ON_WINDOWS("Windows has no file-size signal; under Wine it ends the Linux process "
                    "that runs the program, which no Windows program can prevent");
    make_acquisition(3, 4, 400, 300);
    const std::string command = "trap - XFSZ; ulimit -f 256; exec \"$0\" \"$@\"";
    const process_result r = orvane_test::run_process(
        "/bin/bash", {"-c", command, ORVANE_EXE, "-i", list, "-o", out, "-s", "3", "-d", "2"},
        {"OMP_NUM_THREADS=2"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(the_report(r.err).find("File too large"), std::string::npos) << r.err;
    expect_only_complete_outputs();
}

// A directory that cannot be made is reported with mkdir's own reason, not
// as the file that then could not be created.
TEST_F(WriteFailure, ADirectoryThatCannotBeMadeIsReportedWithItsReason)
{
    make_acquisition(1, 2);
    orvane_test::write_file(dir + "/file", "a file, not a directory");
    out = dir + "/file/sub";
    const process_result r = run({"-i", list, "-o", out, "-s", "1"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(the_report(r.err),
              write_failure(out + "/") + "': cannot create the directory: " +
                  system_says("Not a directory", "Path not found (Windows error 3)") + ".\n");
}

TEST_F(WriteFailure, AnOutputDirectoryBlockedByAFileIsReported)
{
    make_acquisition(1, 2);
    fs::create_directories(out);
    orvane_test::write_file(out + "/stack1", "not a directory");
    const process_result r = run({"-i", list, "-o", out, "-s", "1"});
    EXPECT_EQ(r.exit_code, 2);
    const std::string report = the_report(r.err);
    EXPECT_EQ(report.rfind(write_failure(out + "/stack1//zstackds_1_000"), 0), 0u) << report;
    EXPECT_NE(report.find("': cannot create: " +
                          system_says("Not a directory", "Path not found (Windows error 3)") + "."),
              std::string::npos)
        << report;
    expect_only_complete_outputs();
}

}  // namespace
