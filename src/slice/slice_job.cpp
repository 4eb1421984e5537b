// One slice of the run: filter, resume test, assembly, full-resolution and reduced files.
#include "slice/slice_job.hpp"

#include "slice/assemble.hpp"
#include "slice/image.hpp"
#include "slice/output_file.hpp"
#include "slice/reduce.hpp"
#include "slice/tiff_writer.hpp"

#include <tiffio.h>

#include <cerrno>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

namespace {

// Each console line is built whole and written with one insertion, so lines of
// different workers may come in any order but never mix inside a line.
void print_line(const std::string& text) { std::cout << text + "\n" << std::flush; }

// Data reaches the device before the rename that publishes it: after a power
// loss a final name never holds an empty or partial file.
constexpr bool sync_before_rename = true;

void save(const image& canvas, const std::string& path, int threads)
{
    tiff_write_options options;
    options.threads = threads;
    options.sync = sync_before_rename;
    write_tiff(path, canvas.data(), static_cast<std::uint32_t>(canvas.width()),
               static_cast<std::uint32_t>(canvas.height()), options);
}

// Makes the reduced copy of the assembled canvas under a temporary name; none
// is made for a factor of 1 or less.
void write_reduced(const image& canvas, const std::string& dir, pending_file& reduced,
                   std::int32_t factor, int threads)
{
    make_dirs(dir);
    if (factor <= 1)
        return;
    save(reduce_canvas(canvas, factor, threads), reduced.temp_path(), threads);
}

// Each slice thread's canvas, kept from one slice to the next: a canvas of
// the same size then reuses memory that is already mapped.
image& thread_canvas()
{
    thread_local image canvas;
    return canvas;
}

} // namespace

std::string output_name(std::int32_t factor, std::int32_t slice_index)
{
    std::ostringstream name;
    name << "zstackds_" << factor << "_" << std::setw(4) << std::setfill('0') << slice_index
         << ".tif";
    return name.str();
}

std::string output_dir(const std::string& outputdir, std::int32_t factor)
{
    return outputdir + "/stack" + std::to_string(factor) + "/";
}

std::string full_resolution_path(const std::string& outputdir, std::int32_t slice_index)
{
    return output_dir(outputdir, 1) + "/" + output_name(1, slice_index);
}

bool slice_done(const std::string& full_path)
{
    // Anything at the final name, file or directory, marks the slice done.
    struct stat status {};
    return ::stat(full_path.c_str(), &status) == 0;
}

bool make_dirs(const std::string& path)
{
    std::string prefix;
    std::string segment;
    for (std::size_t i = 0; i < path.size(); ++i) {
        segment += path[i];
        if (path[i] != '/' && i + 1 != path.size())
            continue;
        prefix += segment;
        segment.clear();
        if (::access(prefix.c_str(), F_OK) == 0)
            continue;
        // Another worker may make the same directory between our test and our
        // mkdir; that is as good as making it ourselves.
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

void process_slice(std::int32_t slice_index, const slice_job& job)
{
    if (job.singlenum >= 0 && job.singlenum != slice_index) {
        print_line(std::to_string(slice_index) + " skip!");
        return;
    }
    make_dirs(output_dir(job.outputdir, 1));
    const std::string path = full_resolution_path(job.outputdir, slice_index);
    if (slice_done(path)) {
        print_line(path + " done!");
        return;
    }

    // The width is a signed product handed to the library as an unsigned size.
    const std::int32_t canvas_width =
        (static_cast<std::int32_t>(job.width) - 2 * job.xoverlap) * job.splitnumber;
    image& canvas = thread_canvas();
    blank_canvas(canvas, static_cast<std::uint32_t>(canvas_width), job.height, job.threads);
    assemble_slice(canvas, slice_index, job.width, *job.names, job.slice_count, job.yoffset,
                   job.xoverlap, job.splitnumber, job.threads);
    pending_file full(path);
    save(canvas, full.temp_path(), job.threads);

    const std::string reduced_dir = output_dir(job.outputdir, job.downsample);
    pending_file reduced(reduced_dir + "/" + output_name(job.downsample, slice_index));
    write_reduced(canvas, reduced_dir, reduced, job.downsample, job.threads);

    // The full-resolution file marks the slice done, so it goes into place
    // last: a run stopped in between redoes the slice, reduced copy included.
    if (job.downsample > 1)
        reduced.commit();
    full.commit();
    print_line(full.final_path() + " done!");
    print_line(reduced.final_path() + " done!");
}

tile_size load_tile_size(const std::string& name)
{
    const image tile = load_tile(name);
    return {static_cast<std::uint32_t>(tile.width()), static_cast<std::uint32_t>(tile.height())};
}

void configure_image_library()
{
    cimg_library::cimg::exception_mode(0);
    cimg_library::cimg::openmp_mode(0);
    // libtiff would print its own warnings and errors; ours say what failed.
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
}

image_error describe_error(const std::exception& e)
{
    using namespace cimg_library;
    const char* type = "";
    if (dynamic_cast<const CImgIOException*>(&e))
        type = "CImgIOException";
    else if (dynamic_cast<const CImgInstanceException*>(&e))
        type = "CImgInstanceException";
    else if (dynamic_cast<const CImgArgumentException*>(&e))
        type = "CImgArgumentException";
    else if (dynamic_cast<const CImgException*>(&e))
        type = "CImgException";
    return {type, e.what()};
}

} // namespace orvane
