// A quick look at a finished TIFF file: whether it opens and holds all its strips.
#pragma once

#include <string>

namespace orvane {

// Empty when libtiff opens the file and its last strip or tile ends within
// the file; else what is wrong ("it is empty", "its last strip runs past the
// end of the file"). Reads the header and the first directory only.
std::string tiff_damage(const std::string& path);

}  // namespace orvane
