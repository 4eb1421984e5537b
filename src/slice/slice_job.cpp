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

// Whether a slice's files are synced before they are renamed into place.
constexpr bool sync_before_rename = true;

unsynced_file save(const image& canvas, const std::string& path, int threads)
{
    tiff_write_options options;
    options.threads = threads;
    return write_tiff_unsynced(path, canvas.data(), static_cast<std::uint32_t>(canvas.width()),
                               static_cast<std::uint32_t>(canvas.height()), options);
}

// Each slice thread's canvas, kept from one slice to the next: a canvas no
// larger than the last reuses memory that is already mapped.
image_buffer& thread_canvas()
{
    thread_local image_buffer canvas;
    return canvas;
}

// The same for the reduced copy.
image_buffer& thread_reduced()
{
    thread_local image_buffer reduced;
    return reduced;
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

struct written_slice::files {
    pending_file full;
    std::string reduced_path;
    std::unique_ptr<pending_file> reduced; // none when no reduced copy is made
    unsynced_file full_file;
    unsynced_file reduced_file;

    files(const std::string& full_path, const std::string& reduced_final, bool reduced_made)
        : full(full_path), reduced_path(reduced_final),
          reduced(reduced_made ? std::make_unique<pending_file>(reduced_final) : nullptr)
    {
    }
};

written_slice::written_slice(std::int32_t slice_index, const std::string& full_path,
                             const std::string& reduced_path, bool reduced_made)
    : slice_index_(slice_index),
      files_(std::make_unique<files>(full_path, reduced_path, reduced_made))
{
}

written_slice::~written_slice() = default;

void written_slice::sync()
{
    // Data reaches the device before the rename that publishes it: after a
    // power loss a final name never holds an empty or partial file.
    files_->reduced_file.close(sync_before_rename);
    files_->full_file.close(sync_before_rename);
}

void written_slice::finish()
{
    sync();
    publish();
}

void written_slice::publish()
{
    // The full-resolution file marks the slice done, so it goes into place
    // last: a run stopped in between redoes the slice, reduced copy included.
    if (files_->reduced)
        files_->reduced->commit();
    files_->full.commit();
    print_line(files_->full.final_path() + " done!");
    print_line(files_->reduced_path + " done!");
}

std::unique_ptr<written_slice> write_slice(std::int32_t slice_index, const slice_job& job,
                                           const std::function<void()>& finish_earlier)
{
    if (job.singlenum >= 0 && job.singlenum != slice_index) {
        finish_earlier();
        print_line(std::to_string(slice_index) + " skip!");
        return nullptr;
    }
    make_dirs(output_dir(job.outputdir, 1));
    const std::string path = full_resolution_path(job.outputdir, slice_index);
    if (slice_done(path)) {
        finish_earlier();
        print_line(path + " done!");
        return nullptr;
    }

    // The width is a signed product handed to the library as an unsigned size.
    const std::int32_t canvas_width =
        (static_cast<std::int32_t>(job.width) - 2 * job.xoverlap) * job.splitnumber;
    image_buffer& buffer = thread_canvas();
    buffer.resize(static_cast<std::uint32_t>(canvas_width), job.height);
    const image& canvas = buffer.pixels();
    assemble_slice(buffer.pixels(), slice_index, job.width, *job.names, job.slice_count,
                   job.yoffset, job.xoverlap, job.splitnumber, job.threads);

    const std::string reduced_dir = output_dir(job.outputdir, job.downsample);
    auto written = std::make_unique<written_slice>(
        slice_index, path, reduced_dir + "/" + output_name(job.downsample, slice_index),
        job.downsample > 1);
    written_slice::files& files = *written->files_;
    files.full_file = save(canvas, files.full.temp_path(), job.threads);
    // The device takes the full-resolution data while the copy is reduced.
    if (sync_before_rename)
        files.full_file.start_sync();
    make_dirs(reduced_dir);
    if (files.reduced) {
        image_buffer& reduced = thread_reduced();
        reduce_canvas(canvas, job.downsample, job.threads, reduced);
        files.reduced_file = save(reduced.pixels(), files.reduced->temp_path(), job.threads);
    }
    return written;
}

void process_slice(std::int32_t slice_index, const slice_job& job)
{
    const std::unique_ptr<written_slice> written = write_slice(slice_index, job, [] {});
    if (written)
        written->finish();
}

tile_size load_tile_size(const std::string& name)
{
    image_buffer tile;
    load_tile(name, tile);
    return {static_cast<std::uint32_t>(tile.pixels().width()),
            static_cast<std::uint32_t>(tile.pixels().height())};
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
