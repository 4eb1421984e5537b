// The one place that includes the image library, always with the same configuration.
#pragma once

// The library would start its own OpenMP teams inside our slice workers; hide the
// OpenMP macro while it is read so it is compiled without them.
#pragma push_macro("_OPENMP")
#undef _OPENMP
#include <CImg.h>
#pragma pop_macro("_OPENMP")

namespace orvane {
using image = cimg_library::CImg<unsigned short>;
}
