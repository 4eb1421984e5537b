// The one place that includes the image library, always with the same configuration.
#pragma once

// The library would start its own OpenMP teams inside our slice workers; hide the
// OpenMP macro while it is read so it is compiled without them.
#pragma push_macro("_OPENMP")
#undef _OPENMP
#include <CImg.h>
#pragma pop_macro("_OPENMP")

#include "platform/huge_pages.hpp"

#include <cstddef>
#include <cstdint>

namespace orvane {

using image = cimg_library::CImg<unsigned short>;

// An image whose pixels live in huge-page memory of its own (see
// allocate_huge), kept from one use to the next: the canvas and tile buffers
// of a slice thread. The image is a shared view of that memory, so it must
// not be resized through the library; copy it with image(view, false).
class image_buffer {
public:
    image_buffer() = default;
    image_buffer(const image_buffer&) = delete;
    image_buffer& operator=(const image_buffer&) = delete;

    image& pixels() { return view_; }
    const image& pixels() const { return view_; }

    // Gives the image these dimensions with its pixels left as they were;
    // the memory is kept when it is large enough. Throws std::bad_alloc.
    std::uint16_t* resize(std::uint32_t width, std::uint32_t height, std::uint32_t depth = 1,
                          std::uint32_t spectrum = 1)
    {
        const std::size_t count = std::size_t{width} * height * depth * spectrum;
        if (count == 0) {
            view_.assign();
            return nullptr;
        }
        if (count > capacity_) {
            view_.assign();
            memory_.reset();
            capacity_ = 0;
            memory_ = make_huge_array<std::uint16_t>(count);
            capacity_ = count;
        }
        view_.assign(memory_.get(), width, height, depth, spectrum, true);
        return memory_.get();
    }

private:
    huge_array<std::uint16_t> memory_;
    std::size_t capacity_ = 0;
    image view_;
};

}  // namespace orvane
