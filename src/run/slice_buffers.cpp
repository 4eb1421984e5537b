// The slice threads' kept buffers and the wording of memory they cannot get.
#include "run/slice_buffers.hpp"

#include "base/error.hpp"

#include <cstdio>
#include <new>
#include <string>

namespace orvane {

image_buffer& thread_canvas()
{
    thread_local image_buffer canvas;
    return canvas;
}

image_buffer& thread_reduced()
{
    thread_local image_buffer reduced;
    return reduced;
}

void allocate(image_buffer& buffer, std::uint32_t width, std::uint32_t height, const char* what)
{
    try {
        buffer.resize(width, height);
    } catch (const std::bad_alloc&) {
        const double mib = static_cast<double>(width) * height * 2 / (1024.0 * 1024.0);
        char size[64];
        std::snprintf(size, sizeof size, "%.1f MiB", mib);
        throw error(failure_kind::allocate, "",
                    "the " + std::to_string(width) + " x " + std::to_string(height) + " " + what +
                        " (" + size + ")");
    }
}

}  // namespace orvane
