// Each slice thread's canvas and reduced copy, kept from one slice to the next, and the error for
// memory they cannot get.
#pragma once

#include "base/image.hpp"

#include <cstdint>

namespace orvane {

// This thread's canvas: a canvas no larger than the last reuses memory that
// is already mapped.
image_buffer& thread_canvas();

// The same for the reduced copy.
image_buffer& thread_reduced();

// Gives the buffer room for a width x height image; memory it cannot get is
// reported as an allocation error naming what it was for and how large.
void allocate(image_buffer& buffer, std::uint32_t width, std::uint32_t height, const char* what);

}  // namespace orvane
