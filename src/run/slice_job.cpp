// One slice of the run: assembly, full-resolution and reduced files, and their lines.
#include "run/slice_job.hpp"

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/image.hpp"
#include "io/ome_zarr.hpp"
#include "io/output_file.hpp"
#include "io/seam_record.hpp"
#include "io/seam_report.hpp"
#include "io/tiff_writer.hpp"
#include "io/tile_loader.hpp"
#include "mosaic/assemble.hpp"
#include "mosaic/reduce.hpp"
#include "mosaic/seamless.hpp"
#include "platform/platform.hpp"
#include "run/slice_buffers.hpp"

#include <cerrno>
#include <utility>
#include <vector>

namespace orvane {

namespace {

// A reduced copy's pixels are `factor` times as large as the mosaic's.
unsynced_file save(const image& canvas, const std::string& path, const slice_job& job,
                   std::int32_t factor)
{
    tiff_write_options options;
    options.threads = job.threads;
    if (const std::optional<voxel_size>& voxel = job.options.voxel)
        options.calibration = voxel_size{voxel->x * factor, voxel->y * factor, voxel->z};
    return write_tiff_unsynced(path, canvas.data(), static_cast<std::uint32_t>(canvas.width()),
                               static_cast<std::uint32_t>(canvas.height()), options);
}

// Assembles slice k into this thread's canvas; with seam corrections, says
// what it found at each seam in `seams`.
const image& assemble(const planned_slice& slice, const slice_job& job,
                      std::vector<seam_measure>* seams = nullptr)
{
    // The run refused every mosaic whose sides pass 32 bits before any slice.
    const image_size size = job.layout.canvas();
    image_buffer& buffer = thread_canvas();
    allocate(buffer, static_cast<std::uint32_t>(size.width),
             static_cast<std::uint32_t>(size.height), "canvas");
    const slice_tile_files tiles(job.tiles, slice.index);
    if (job.seams) {
        std::vector<seam_measure> found =
            assemble_seamless(buffer.pixels(), tiles, job.layout, *job.seams, job.threads);
        if (seams)
            *seams = std::move(found);
    } else {
        assemble_slice(buffer.pixels(), tiles, job.layout, job.threads);
    }
    return buffer.pixels();
}

}  // namespace

struct written_slice::slice_files {
    output_file full;
    std::unique_ptr<output_file> reduced;  // none when no reduced copy is made
    encoded_planes planes;                 // none without a volume

    explicit slice_files(const planned_slice& slice) : full(slice.full_path) {}
};

written_slice::written_slice(const planned_slice& slice)
    : slice_(slice), files_(std::make_unique<slice_files>(slice))
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

void written_slice::publish()
{
    // The full-resolution file marks the slice done, so it goes into place
    // last: a run stopped in between redoes the slice, reduced copy included.
    if (files_->reduced)
        files_->reduced->commit();
    files_->full.commit();
    // A run with seam corrections writes its record before it looks for
    // slices made without them, and this run looks for the record after
    // putting the slice in place: of two runs started together, one sees the
    // other. The slice goes before the line that says it is done.
    if (!watched_record_.empty() && platform::status_of(watched_record_).exists) {
        platform::remove_file(slice_.full_path);
        if (files_->reduced)
            platform::remove_file(slice_.reduced_path);
        throw error(failure_kind::usage, "",
                    "'" + watched_record_ +
                        "': a run with seam corrections started on this folder while this run "
                        "made slices without them; slice " +
                        std::to_string(slice_.index) +
                        " was taken back. Give the options of the record, or use another "
                        "output folder");
    }
    write_output_line(slice_.full_path + " done!");
    write_output_line(slice_.reduced_path + " done!");
}

namespace {

void report_unmade(const planned_slice& slice)
{
    if (slice.action == slice_action::skip)
        write_output_line(std::to_string(slice.index) + " skip!");
    else
        write_output_line(slice.full_path + " done!");
}

}  // namespace

void finish_unmade(const planned_slice& slice, const slice_job& job)
{
    // A run killed while it made the planes of a done slice may have put
    // every chunk in place and still left a temporary.
    if (slice.action == slice_action::done && job.volume) {
        remove_volume_leftovers(job.options.ome_zarr, *job.volume, slice.index);
        if (slice.planes_missing)
            write_volume_planes(job.options.ome_zarr, *job.volume, slice.index,
                                assemble(slice, job).data(), job.threads);
    }
    report_unmade(slice);
}

std::unique_ptr<written_slice> written_slice::write(const planned_slice& slice,
                                                    const slice_job& job)
{
    if (!slice.unmade_dir.empty())
        refuse_directory(slice.unmade_dir, slice.unmade_reason);
    std::vector<seam_measure> seams;
    const image& canvas = assemble(slice, job, &seams);
    // The slice's rows are in place before its files: a done slice always
    // has them, and a slice made again replaces them with the same.
    if (job.seams)
        commit_seam_rows(job.options.outputdir, slice.index, seams);

    std::unique_ptr<written_slice> written(new written_slice(slice));
    if (!job.seams)
        written->watched_record_ = seam_record_path(job.options.outputdir);
    slice_files& files = *written->files_;
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

}  // namespace orvane
