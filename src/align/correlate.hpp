// Phase correlation of two equally sized planes, through KissFFT.
#pragma once

#include "align/bands.hpp"

#include <vector>

namespace orvane::align {

// A translation the correlation surface favours: b(y, x) ~ a(y + dy, x + dx),
// both planes read circularly, so dy and dx are in [0, height) and [0, width).
struct peak {
    int dy = 0;
    int dx = 0;
    float value = 0.0f;
};

// The strongest local maxima of the phase correlation of a and b (same
// size, even width), strongest first, at most count of them. Each plane's
// mean is taken out first, so brightness offsets and gains do not matter.
std::vector<peak> correlation_peaks(const plane& a, const plane& b, int count);

// The largest n' <= n whose only prime factors are 2, 3 and 5 (even when
// `even`), where KissFFT is fast; 0 when there is none.
int fast_size_below(int n, bool even);

// Columns [x0, x0 + width) of rows [0, height) of a plane.
plane crop(const plane& source, int x0, int width, int height);

}  // namespace orvane::align
