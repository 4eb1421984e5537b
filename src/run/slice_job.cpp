// One slice of the run: assembly, full-resolution and reduced files, and their lines.
#include "run/slice_job.hpp"

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/image.hpp"
#include "io/ome_zarr.hpp"
#include "io/output_file.hpp"
#include "io/tiff_writer.hpp"
#include "mosaic/assemble.hpp"
#include "mosaic/reduce.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>

namespace orvane {

namespace {

// A reduced copy's pixels are `factor` times as large as the mosaic's.
unsynced_file save(const image& canvas, const std::string& path, const slice_job& job,
                   std::int32_t factor)
{
    tiff_write_options options;
    options.threads = job.threads;
    if (job.voxel)
        options.calibration =
            voxel_size{job.voxel->x * factor, job.voxel->y * factor, job.voxel->z};
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

// Gives the buffer room for a width x height image; memory it cannot get is
// reported with what it was for and how large.
void allocate(image_buffer& buffer, std::uint32_t width, std::uint32_t height, const char* what)
{
    try {
        buffer.resize(width, height);
    } catch (const std::bad_alloc&) {
        const double mib = static_cast<double>(width) * height * 2 / (1024.0 * 1024.0);
        char size[64];
        std::snprintf(size, sizeof size, "%.1f MiB", mib);
        throw error(failure_kind::allocate, "",
                    "the " + std::to_string(width) + " x " + std::to_string(height) + " " + what +
                        " (" + size + ")");
    }
}

// Assembles slice k into this thread's canvas.
const image& assemble(const planned_slice& slice, const slice_job& job)
{
    // The run refused every mosaic whose sides pass 32 bits before any slice.
    const image_size size = job.layout.canvas();
    image_buffer& buffer = thread_canvas();
    allocate(buffer, static_cast<std::uint32_t>(size.width),
             static_cast<std::uint32_t>(size.height), "canvas");
    assemble_slice(buffer.pixels(), job.tiles, job.layout, slice.index, job.threads);
    return buffer.pixels();
}

}  // namespace

std::uint64_t worker_bytes(const slice_job& job, int threads)
{
    const image_size size = job.layout.canvas();
    const tile_size reference = job.tiles.reference();
    const auto canvas = static_cast<double>(size.width) * static_cast<double>(size.height) * 2;
    const double tile = static_cast<double>(reference.width) * reference.height * 2;
    const double factor = job.options.downsample;
    const bool reduced = job.options.downsample > 1 && job.reduced_has_pixels;
    // The encoder's strips, the tile reader's blocks and the thread's stacks.
    double bytes =
        canvas + (reduced ? canvas / (factor * factor) : 0) + tile * std::max(1, threads) + 32e6;
    if (job.volume) {
        // Levels 1 and 2 (the rest reuse their memory), each thread's chunk
        // and its compressed copy, and Blosc's header on every chunk.
        bytes += canvas * (1.0 / 4 + 1.0 / 16) + 2 * 2 * 1024.0 * 1024 * 2 * std::max(1, threads);
        const double encoded = canvas * 4 / 3 * 1.01;
        bytes += encoded * static_cast<double>(max_unfinished_slices + 1);
    }
    return static_cast<std::uint64_t>(bytes);
}

void print_line(const std::string& text) { write_output_line(text); }

struct written_slice::files {
    output_file full;
    std::unique_ptr<output_file> reduced;  // none when no reduced copy is made
    encoded_planes planes;                 // none without a volume

    explicit files(const planned_slice& slice) : full(slice.full_path) {}
};

written_slice::written_slice(const planned_slice& slice)
    : slice_(slice), files_(std::make_unique<files>(slice))
{
}

written_slice::~written_slice() = default;

void written_slice::sync()
{
    if (files_->reduced)
        files_->reduced->sync();
    files_->full.sync();
    // The planes go into place here, before publish() puts the
    // full-resolution file that marks the slice done beside them.
    files_->planes.put_in_place();
    files_->planes = {};  // their memory goes back before the slice is published
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
    print_line(slice_.full_path + " done!");
    print_line(slice_.reduced_path + " done!");
}

void report_unmade(const planned_slice& slice)
{
    if (slice.action == slice_action::skip)
        print_line(std::to_string(slice.index) + " skip!");
    else
        print_line(slice.full_path + " done!");
}

void finish_unmade(const planned_slice& slice, const slice_job& job)
{
    // A run killed while it made the planes of a done slice may have put
    // every chunk in place and still left a temporary.
    if (slice.action == slice_action::done && job.volume) {
        remove_volume_leftovers(job.options.ome_zarr, *job.volume, slice.index);
        if (!volume_planes_present(job.options.ome_zarr, *job.volume, slice.index))
            write_volume_planes(job.options.ome_zarr, *job.volume, slice.index,
                                assemble(slice, job).data(), job.threads);
    }
    report_unmade(slice);
}

std::unique_ptr<written_slice> write_slice(const planned_slice& slice, const slice_job& job)
{
    if (!slice.unmade_dir.empty())
        refuse_directory(slice.unmade_dir, slice.unmade_reason);
    const image& canvas = assemble(slice, job);

    auto written = std::make_unique<written_slice>(slice);
    written_slice::files& files = *written->files_;
    files.full.hold(save(canvas, files.full.temp_path(), job, 1));
    // The device takes the full-resolution data while the copy is reduced.
    files.full.start_sync();
    std::string unmade;
    if (!make_dirs(slice.reduced_dir, &unmade) && slice.reduced_made)
        refuse_directory(unmade, platform::error_text(errno));
    if (slice.reduced_made) {
        image_buffer& reduced = thread_reduced();
        const image_size reduced_size = job.layout.reduced(job.options.downsample);
        allocate(reduced, static_cast<std::uint32_t>(reduced_size.width),
                 static_cast<std::uint32_t>(reduced_size.height), "reduced copy");
        reduce_canvas(canvas, job.options.downsample, job.threads, reduced);
        files.reduced = std::make_unique<output_file>(slice.reduced_path);
        files.reduced->hold(
            save(reduced.pixels(), files.reduced->temp_path(), job, job.options.downsample));
    }
    // The planes are put in place before the full-resolution file is: that
    // file still alone marks the slice done.
    if (job.volume)
        files.planes = encode_volume_planes(job.options.ome_zarr, *job.volume, slice.index,
                                            canvas.data(), job.threads);
    return written;
}

void process_slice(std::int32_t slice_index, const slice_job& job)
{
    const planned_slice slice = plan_slice(slice_index, job);
    if (slice.action != slice_action::make) {
        finish_unmade(slice, job);
        return;
    }
    write_slice(slice, job)->finish();
}

}  // namespace orvane
