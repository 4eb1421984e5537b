// The image library's report format, usage text and path conventions, kept for scripts.
#include "compat/library_conventions.hpp"

#include "base/error.hpp"
#include "base/image.hpp"

#include <tiffio.h>

#include <cstdio>
#include <new>

namespace orvane {

const char* const usage_text =
    "Usage:\n  Orvane -i list.txt -s splitnumber -x xoverlap -y yoffset -d downsample -o outputdir "
    "-j singlenum \n"
    "          the default splitnumber is 4 \n"
    "          the default xoverlap is 0 \n"
    "          the default yoffset is 0 \n"
    "          the default downsample is 1 \n"
    "          the default singlenum is -1 \n";

const char* const software_tag = "CImg";

std::string output_dir(const std::string& outputdir, std::int32_t factor)
{
    return outputdir + "/stack" + std::to_string(factor) + "/";
}

std::string output_path(const std::string& dir, const std::string& name)
{
    return dir + "/" + name;
}

namespace {

// The description the library's messages start with: that of the empty
// image a load is called on, its null pointer printed as the C library
// prints one ("(nil)" here, zeros on Windows).
std::string instance_prefix(const char* function)
{
    char null_pointer[32];
    std::snprintf(null_pointer, sizeof null_pointer, "%p", static_cast<void*>(nullptr));
    return "[instance(0,0,0,0," + std::string(null_pointer) + ",non-shared)] CImg<" +
           std::string(image::pixel_type()) + ">::" + function + "(): ";
}

image_error describe_own(const error& e)
{
    const std::string io = "CImgIOException";
    switch (e.kind()) {
    case failure_kind::open:
        return {io, instance_prefix("load") + "Failed to open file '" + e.path() + "'" +
                        (e.cause().empty() ? "" : ": " + e.cause()) + "."};
    case failure_kind::read:
        return {io, instance_prefix("load") + "Failed to read file '" + e.path() +
                        "': " + e.cause() + "."};
    case failure_kind::write:
        return {io, instance_prefix("save_tiff") + "Failed to write file '" + e.path() +
                        "': " + e.cause() + "."};
    case failure_kind::allocate:
        return {"CImgInstanceException",
                instance_prefix("CImg") + "Failed to allocate memory for " + e.cause() + "."};
    case failure_kind::list: return {"", "the list file '" + e.path() + "': " + e.cause()};
    case failure_kind::volume:
        return {"", "the OME-Zarr volume's '" + e.path() + "' is not this run's: " + e.cause()};
    case failure_kind::library_io: return {io, e.cause()};
    case failure_kind::library_instance: return {"CImgInstanceException", e.cause()};
    case failure_kind::library_argument: return {"CImgArgumentException", e.cause()};
    case failure_kind::usage:
    case failure_kind::no_result: return {"", e.cause()};
    }
    return {"", e.what()};
}

}  // namespace

image_error describe_error(const std::exception& e)
{
    if (const auto* own = dynamic_cast<const error*>(&e))
        return describe_own(*own);
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return {"CImgInstanceException", instance_prefix("CImg") + "Failed to allocate memory."};
    return {"", e.what()};
}

std::string report_text(const std::exception& e, const std::string& program)
{
    const image_error shown = describe_error(e);
    if (shown.type.empty())
        return program + ": " + shown.message + "\n";
    return "\n[CImg] *** " + shown.type + " *** " + shown.message + "\n";
}

void configure_image_library()
{
    cimg_library::cimg::exception_mode(0);
    cimg_library::cimg::openmp_mode(0);
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
}

}  // namespace orvane
