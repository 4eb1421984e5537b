// Making one slice: assembling its mosaic, writing its files, and putting them in place.
#pragma once

#include "mosaic/pyramid.hpp"
#include "run/slice_plan.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace orvane {

// The files of one slice, complete under their temporary names but perhaps
// not yet on the device.
class written_slice {
public:
    explicit written_slice(const planned_slice& slice);
    ~written_slice();
    written_slice(const written_slice&) = delete;
    written_slice& operator=(const written_slice&) = delete;

    std::int32_t slice_index() const { return slice_.index; }

    // Waits until both files are on the device and closes them, and puts the
    // volume's planes of the slice in place.
    void sync();
    // Renames both files into place (the reduced copy first: the
    // full-resolution file marks the slice done) and prints the slice's two
    // lines.
    void publish();
    // Both. Each throws on failure; files not yet in place are removed when
    // the object goes.
    void finish();

private:
    friend std::unique_ptr<written_slice> write_slice(const planned_slice&, const slice_job&);
    struct files;
    planned_slice slice_;
    std::unique_ptr<files> files_;
};

// Assembles a slice the plan says to make and writes its files, returned
// written and not yet synced or renamed, so the device writes them while the
// caller makes the next slice.
std::unique_ptr<written_slice> write_slice(const planned_slice& slice, const slice_job& job);

// Writes one console line, built whole and written with one insertion, so
// lines of different workers may come in any order but never mix inside a line.
void print_line(const std::string& text);

// Written slices a worker may have syncing at once. Syncs usually take a
// few milliseconds, but a busy device or a network file system can take
// longer than making a slice.
constexpr std::size_t max_unfinished_slices = 4;

// The most memory one worker holds while it makes slices with `threads`
// threads: its canvas, reduced copy and tiles, the encoder's buffers, and
// with a volume the levels below the mosaic and the compressed chunks of the
// slices still syncing, counted as if nothing compressed.
std::uint64_t worker_bytes(const slice_job& job, int threads);

// Prints the line of a slice that is skipped or already done.
void report_unmade(const planned_slice& slice);

// The same, after making the volume's planes of a done slice that lacks
// them (a volume asked for after its TIFFs were made, or a run stopped
// between the two) from its tiles; its TIFFs are left as they are.
void finish_unmade(const planned_slice& slice, const slice_job& job);

// Produces slice k from start to end: plans it, then reports it as skipped or
// done, or assembles, writes, syncs, renames and reports it. Throws on any
// failure.
void process_slice(std::int32_t slice_index, const slice_job& job);

}  // namespace orvane
