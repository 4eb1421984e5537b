// What Orvane keeps of the image library's conventions, because scripts
// written for the library's output rely on them: its report format and
// instance prefix, the usage text, the two slashes in output paths and the
// Software tag. Nothing else in the program imitates the library.
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
