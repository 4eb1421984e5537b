// The slice threads' kept buffers and the wording of memory they cannot get.
#include "run/slice_buffers.hpp"

#include "base/error.hpp"
#include "base/per_thread.hpp"

#include <cstdio>
#include <new>
#include <string>

namespace orvane {

image_buffer& thread_canvas()
{
    struct canvas_tag;
    auto& canvas = per_thread<canvas_tag, image_buffer>();
    return canvas;
}

image_buffer& thread_reduced()
{
    struct reduced_tag;
    auto& reduced = per_thread<reduced_tag, image_buffer>();
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
