// The program entry: echo, options, list, summary, reference tile, the slices.
#pragma once

namespace orvane {

int run_driver(int argc, const char* const* argv);

}  // namespace orvane
