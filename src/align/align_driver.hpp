// The orvane-align program: the survey of the seams, the report and the preview.
#pragma once

#include "align/align_options.hpp"

namespace orvane::align {

enum align_status : int {
    align_ok = 0,           // an estimate was printed (or the preview written)
    align_usage = 1,        // misuse: bad options or values orvane refuses, no list, a slice
                            // not in the list, a preview path that is an input or no file
    align_unreadable = 2,   // the list or a tile could not be read, or the preview not written
    align_no_estimate = 3,  // no pair of columns could be aligned, or none unambiguously
};

int align_driver(int argc, const char* const* argv);

}  // namespace orvane::align
