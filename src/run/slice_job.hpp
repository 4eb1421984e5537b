// Making one slice: assembling its mosaic, writing its files, and putting them in place.
#pragma once

#include "mosaic/pyramid.hpp"
#include "run/slice_plan.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace orvane {

// The files of one slice, complete under their temporary names but perhaps
// not yet on the device. Each step throws on failure; files not yet in place
// are removed when the object goes.
class written_slice {
public:
    // Assembles a slice the plan says to make and writes its files, returned
    // written and not yet synced or renamed, so the device writes them while
    // the caller makes the next slice.
    static std::unique_ptr<written_slice> write(const planned_slice& slice, const slice_job& job);
    ~written_slice();
    written_slice(const written_slice&) = delete;
    written_slice& operator=(const written_slice&) = delete;

    std::int32_t slice_index() const { return slice_.index; }

    // Waits until both files are on the device and closes them, and puts the
    // volume's planes of the slice in place.
    void sync();
    // Renames both files into place (the reduced copy first: the
    // full-resolution file marks the slice done) and prints the slice's two
    // lines. A slice made without seam corrections is taken back, and the
    // run refused, when the folder has a record of them by then: a run with
    // them started alongside.
    void publish();

private:
    explicit written_slice(const planned_slice& slice);

    struct slice_files;
    planned_slice slice_;
    std::unique_ptr<slice_files> files_;
    std::string watched_record_;  // the record looked for after the commit; none with corrections
};

// Prints the line of a slice that is skipped or already done, after making
// the volume's planes of a done slice the plan found lacking them (a volume asked for after its
// TIFFs were made, or a run stopped between the two) from its tiles; its TIFFs are left as they
// are.
void finish_unmade(const planned_slice& slice, const slice_job& job);

}  // namespace orvane
