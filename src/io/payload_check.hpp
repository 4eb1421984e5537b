// Telling whether a file in one of the image library's own formats holds every pixel its header
// promises.
#pragma once

#include <string>

namespace orvane {

// Why the file at name holds fewer pixels than its header says, in a format
// whose pixels the image library reads without noticing an early end (PNM,
// PFM, uncompressed BMP); empty when it holds them all, or when the format
// is none of these (then the library's own checks apply).
std::string missing_pixels(const std::string& name);

}  // namespace orvane
