// Whole files against the image library's writer, and every failure reported.
#include "base/image.hpp"
#include "io/tiff_writer.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <vector>

using orvane::image;

namespace {

// ---- Whole files against the image library's writer ------------------------

enum class content { zero, full, noise, gradient, microscopy, runs_then_noise };

const char* name(content c)
{
    switch (c) {
    case content::zero: return "zero";
    case content::full: return "65535";
    case content::noise: return "noise";
    case content::gradient: return "gradient";
    case content::microscopy: return "microscopy";
    case content::runs_then_noise: return "runs then noise";
    }
    return "?";
}

image make_image(std::uint32_t width, std::uint32_t height, content kind, unsigned seed)
{
    image img(width, height, 1, 1, 0);
    std::mt19937 random(seed);
    std::normal_distribution<double> background(110.0, 12.0);
    const double cx = width * 0.4, cy = height * 0.6, radius = 1 + (width + height) / 6.0;
    cimg_forXY(img, x, y)
    {
        double v = 0;
        switch (kind) {
        case content::zero: v = 0; break;
        case content::full: v = 65535; break;
        case content::noise: v = static_cast<double>(random() & 0xffff); break;
        case content::gradient: v = 7.0 * x + 13.0 * y; break;
        case content::microscopy: {
            const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            v = background(random) + 3000.0 * std::exp(-d2 / (2 * radius * radius));
            break;
        }
        case content::runs_then_noise:
            v = y < static_cast<int>(height / 2) ? (x / 512) * 100
                                                 : static_cast<double>(random() & 0xffff);
            break;
        }
        img(x, y) = static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0));
    }
    return img;
}

class TiffWriter : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();

    void expect_same_as_library(const image& img, const std::string& what,
                                const orvane::tiff_write_options& options = {})
    {
        const std::string expected_path = dir + "/library.tif";
        const std::string actual_path = dir + "/own.tif";
        img.save_tiff(expected_path.c_str(), 1, nullptr, nullptr, true);
        orvane::write_tiff(actual_path, img.data(), img.width(), img.height(), options);
        const std::string expected = orvane_test::read_file(expected_path);
        const std::string actual = orvane_test::read_file(actual_path);
        ASSERT_EQ(actual.size(), expected.size()) << what;
        const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
        EXPECT_TRUE(mismatch.first == actual.end())
            << what << ": first difference at byte " << (mismatch.first - actual.begin());
    }
};

struct image_size {
    std::uint32_t width;
    std::uint32_t height;
};

// One row per strip (width >= 4096), strips taller than the image, a short
// last strip, single pixels and odd sizes.
const image_size sizes[] = {{1, 1},     {1, 9},     {3, 2},    {7, 1},    {17, 500},
                            {333, 101}, {1000, 77}, {2047, 7}, {2048, 5}, {2049, 3},
                            {4095, 4},  {4096, 3},  {4097, 2}, {6001, 3}};

TEST_F(TiffWriter, FilesMatchTheLibraryForEverySizeAndContent)
{
    unsigned seed = 1;
    for (const auto& size : sizes)
        for (content kind : {content::zero, content::full, content::noise, content::gradient,
                             content::microscopy, content::runs_then_noise})
            expect_same_as_library(make_image(size.width, size.height, kind, seed++),
                                   std::to_string(size.width) + "x" + std::to_string(size.height) +
                                       " " + name(kind));
}

// Strips encoded on several threads must still be written in order.
TEST_F(TiffWriter, ParallelEncodingGivesTheSameFile)
{
    const image img = make_image(1500, 700, content::microscopy, 3);
    expect_same_as_library(img, "2 threads", {2, false});
    expect_same_as_library(img, "3 threads, synced", {3, true});
    // From inside a parallel region the strips become tasks of that team.
#pragma omp parallel num_threads(2)
    {
#pragma omp single
        {
            const std::string path = dir + "/nested.tif";
            orvane::write_tiff(path, img.data(), img.width(), img.height(), {2, false});
        }
    }
    EXPECT_EQ(orvane_test::read_file(dir + "/nested.tif"),
              orvane_test::read_file(dir + "/library.tif"));
}

// A file handed back open must already be whole on disk (nothing left in
// a buffer), before any sync and while a sync started early runs.
TEST_F(TiffWriter, AFileHandedBackOpenIsAlreadyComplete)
{
    const image img = make_image(3000, 400, content::microscopy, 8);
    expect_same_as_library(img, "reference");
    const std::string expected = orvane_test::read_file(dir + "/library.tif");
    for (int threads : {1, 2}) {
        const std::string path = dir + "/open" + std::to_string(threads) + ".tif";
        orvane::unsynced_file file = orvane::write_tiff_unsynced(path, img.data(), img.width(),
                                                                 img.height(), {threads, false});
        EXPECT_EQ(orvane_test::read_file(path), expected) << threads << " threads, open";
        file.start_sync();
        EXPECT_EQ(orvane_test::read_file(path), expected) << threads << " threads, syncing";
        file.close(true);
        EXPECT_EQ(orvane_test::read_file(path), expected) << threads << " threads, closed";
    }
}

TEST_F(TiffWriter, LibtiffReadsBackThePixels)
{
    const image img = make_image(900, 31, content::microscopy, 5);
    orvane::write_tiff(dir + "/a.tif", img.data(), img.width(), img.height());
    const auto back = orvane_test::read_tiff(dir + "/a.tif");
    EXPECT_EQ(back.compression, COMPRESSION_LZW);
    ASSERT_EQ(back.pixels.size(), img.size());
    EXPECT_TRUE(std::equal(back.pixels.begin(), back.pixels.end(), img.data()));
}

// ImageJ reads a pixel size only from this form: the unit none, pixels per
// unit in the resolution tags, the unit and spacing in an ImageJ description.
TEST_F(TiffWriter, ACalibrationIsWrittenTheWayImageJReadsIt)
{
    const image img = make_image(300, 20, content::microscopy, 6);
    orvane::tiff_write_options options;
    options.calibration = orvane::voxel_size{0.325, 0.5, 0.1};
    orvane::write_tiff(dir + "/c.tif", img.data(), img.width(), img.height(), options);
    TIFF* tiff = TIFFOpen((dir + "/c.tif").c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    float x = 0, y = 0;
    std::uint16_t unit = 0;
    const char* description = nullptr;
    EXPECT_TRUE(TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x));
    EXPECT_TRUE(TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y));
    EXPECT_TRUE(TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &unit));
    EXPECT_TRUE(TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description));
    EXPECT_NEAR(x, 1 / 0.325, 1e-5);
    EXPECT_NEAR(y, 2.0, 1e-6);
    EXPECT_EQ(unit, RESUNIT_NONE);
    EXPECT_EQ(std::string(description ? description : ""),
              "ImageJ=1.54f\nunit=micron\nspacing=0.1\n");
    TIFFClose(tiff);
    const auto back = orvane_test::read_tiff(dir + "/c.tif");
    EXPECT_TRUE(std::equal(back.pixels.begin(), back.pixels.end(), img.data()));
}

TEST_F(TiffWriter, AnEmptyImageGivesAnEmptyFile)
{
    orvane_test::write_file(dir + "/e.tif", "old contents");
    orvane::write_tiff(dir + "/e.tif", nullptr, 0, 5);
    EXPECT_EQ(orvane_test::read_file(dir + "/e.tif"), "");
    orvane::write_tiff(dir + "/f.tif", nullptr, 5, 0);
    ASSERT_TRUE(std::filesystem::exists(dir + "/f.tif"));
    EXPECT_EQ(std::filesystem::file_size(dir + "/f.tif"), 0u);
}

TEST(BigTiff, FromTwoGibibytesOfPixelData)
{
    EXPECT_FALSE(orvane::needs_bigtiff(32768, 32767));
    EXPECT_TRUE(orvane::needs_bigtiff(32768, 32768));  // exactly 2^31 bytes
    EXPECT_FALSE(orvane::needs_bigtiff(46341, 23170));
    EXPECT_TRUE(orvane::needs_bigtiff(65536, 16384));
    EXPECT_TRUE(orvane::needs_bigtiff(4294967295u, 4294967295u));  // no 32-bit overflow
    EXPECT_FALSE(orvane::needs_bigtiff(0, 4294967295u));
}

// ---- Failures --------------------------------------------------------------

// A file-size limit per process, with the signal ignored, stands for a full
// disk; Windows has no such limit, so these run on POSIX systems only.
#ifndef _WIN32

class TiffWriterFailure : public TiffWriter {
protected:
    // Runs write_tiff in a child limited to file_limit bytes per file (with
    // SIGXFSZ ignored, so writes fail instead of killing it) and returns what
    // it threw, or "no error" / "other error".
    std::string write_under_limit(const std::string& path, const image& img, rlim_t file_limit)
    {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0)
            return "no pipe";
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(pipe_fds[0]);
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{file_limit, file_limit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            std::string message = "no error";
            try {
                orvane::write_tiff(path, img.data(), img.width(), img.height());
            } catch (const std::runtime_error& e) {
                message = e.what();
            } catch (...) {
                message = "other error";
            }
            const ssize_t written = ::write(pipe_fds[1], message.data(), message.size());
            ::_exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
        }
        ::close(pipe_fds[1]);
        std::string message;
        char buffer[256];
        ssize_t n;
        while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0)
            message.append(buffer, static_cast<std::size_t>(n));
        ::close(pipe_fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child crashed";
        return message;
    }
};

TEST_F(TiffWriterFailure, AFullFileDuringTheStripsThrowsNamingThePath)
{
    const image img = make_image(1024, 256, content::noise, 11);
    const std::string path = dir + "/limited.tif";
    const std::string message = write_under_limit(path, img, 64 * 1024);
    EXPECT_EQ(message.rfind("'" + path + "': cannot write: File too large", 0), 0u) << message;
}

// The image library ignores a failed directory write and leaves an
// unreadable file behind; here it must throw.
TEST_F(TiffWriterFailure, AFullFileAtTheDirectoryThrows)
{
    const image img = make_image(512, 64, content::microscopy, 12);
    const std::string path = dir + "/dir_limited.tif";
    orvane::write_tiff(path, img.data(), img.width(), img.height());
    // Classic TIFF, little-endian: the directory's offset is at byte 4, right
    // after the strips.
    const std::string whole = orvane_test::read_file(path);
    ASSERT_GE(whole.size(), 8u);
    std::uint32_t directory_offset = 0;
    std::memcpy(&directory_offset, whole.data() + 4, 4);
    ASSERT_LT(directory_offset, whole.size());
    const std::string message = write_under_limit(path, img, directory_offset);
    EXPECT_EQ(message.rfind("'" + path + "': cannot write the directory: ", 0), 0u) << message;
}

#endif

TEST_F(TiffWriter, AMissingDirectoryThrowsNamingThePath)
{
    const image img = make_image(10, 10, content::gradient, 1);
    const std::string path = dir + "/no/such/dir/x.tif";
    try {
        orvane::write_tiff(path, img.data(), img.width(), img.height());
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
#ifdef _WIN32
        // Windows' own words, which Wine words otherwise, and the code.
        const std::string reason = " (Windows error 3)";
#else
        const std::string reason = "No such file or directory";
#endif
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("'" + path + "': cannot create: ", 0), 0u) << message;
        EXPECT_EQ(message.substr(message.size() - std::min(message.size(), reason.size())), reason);
    }
    EXPECT_THROW(orvane::write_tiff(path, nullptr, 0, 0), std::runtime_error);
    EXPECT_THROW(orvane::write_tiff(dir, img.data(), img.width(), img.height()),
                 std::runtime_error);  // a directory is in the way
}

}  // namespace
