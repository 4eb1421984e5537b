// What Orvane keeps of the image library's conventions, because scripts
// written for the library's output rely on them: its report format and
// instance prefix, the usage text, the two slashes in output paths and the
// Software tag.
//
// Three rules stated elsewhere imitate the library too, so that a stack made
// now is byte for byte the stack the library-based program made, and labs
// can compare, mix and resume old and new stacks:
// - mosaic/reduce.hpp: the reduced copy is what the library's
//   resize(width / d, height / d, -100, -100, 3) gives: its moving-average
//   weights (32-bit wrap included), float sums in source order, x before y,
//   truncation to 16 bits after each pass.
// - io/tiff_writer.hpp: the file is what its save_tiff(path, 1, none, none,
//   true) writes for a one-slice, one-channel 16-bit image: its tags in its
//   order and types, libtiff's strip height, libtiff's LZW codes.
// - mosaic/geometry.hpp: a tile's piece is what its get_crop, shift,
//   mirror('x') and draw_image make of it (crossed crop limits swapped,
//   columns outside the tile 0, an empty tile its crop error).
// Nothing else in the program imitates the library.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace orvane {

// Written to standard error when the program is run without arguments.
extern const char* const usage_text;

// The Software tag of every file written.
extern const char* const software_tag;

// outputdir + "/stack" + factor + "/"
std::string output_dir(const std::string& outputdir, std::int32_t factor);
// A file in such a directory: directory + "/" + name, so printed paths show
// two slashes before the file name, as scripts expect.
std::string output_path(const std::string& dir, const std::string& name);

// A failure in the library's terms: its error type ("CImgIOException",
// "CImgInstanceException", "CImgArgumentException"; empty for failures of
// another kind) and its message.
struct image_error {
    std::string type;
    std::string message;
};

// How a failure is shown. Errors of the project's own type (base/error.hpp)
// are worded as the library words the same failure; running out of memory is
// the library's allocation error; anything else keeps its own text.
image_error describe_error(const std::exception& e);

// The whole report of a failure, as the library prints its errors: a blank
// line, then "[CImg] *** TYPE *** MESSAGE". Failures of no library type get
// "PROGRAM: MESSAGE", with the name of the program that failed.
std::string report_text(const std::exception& e, const std::string& program);

// Sets the image library up for use from many threads: it reports nothing
// itself (the program reports once) and starts no parallelism of its own;
// libtiff's process-wide handlers print nothing either.
void configure_image_library();

}  // namespace orvane
