// Test helper: where two images of the program's pixel type first differ.
#pragma once

#include "base/image.hpp"

#include <sstream>
#include <string>

namespace orvane_test {

// Empty when the images are the same size and hold the same pixels; else where they first differ.
inline std::string difference(const orvane::image& got, const orvane::image& want)
{
    std::ostringstream out;
    if (got.width() != want.width() || got.height() != want.height() ||
        got.depth() != want.depth() || got.spectrum() != want.spectrum()) {
        out << "size " << got.width() << "x" << got.height() << "x" << got.depth() << "x"
            << got.spectrum() << ", expected " << want.width() << "x" << want.height() << "x"
            << want.depth() << "x" << want.spectrum();
        return out.str();
    }
    int count = 0;
    cimg_forXY(want, x, y) if (got(x, y) != want(x, y) && count++ == 0) out
        << "pixel (" << x << ", " << y << ") is " << got(x, y) << ", expected " << want(x, y);
    if (count)
        out << "; " << count << " pixels differ";
    return out.str();
}

}  // namespace orvane_test
