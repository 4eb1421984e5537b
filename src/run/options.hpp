// Run control: the option values of a run, how the command line is read, and the exit statuses.
#pragma once

#include "mosaic/voxel_size.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace orvane {

struct run_options {
    std::string list_path;         // -i
    std::string outputdir;         // -o
    std::int32_t splitnumber = 4;  // -s
    std::int32_t xoverlap = 0;     // -x
    std::int32_t yoffset = 0;      // -y
    std::int32_t downsample = 1;   // -d
    std::int32_t singlenum = -1;   // -j, negative: every slice
    bool plan = false;             // --plan: print the plan of the slices, make nothing
    std::string ome_zarr;          // --ome-zarr, empty: no volume
    bool ome_zarr_given = false;   // --ome-zarr was given, an empty path too
    std::string voxel_size;        // --voxel-size as given, empty: none
    // The seam corrections, as given: a value left empty was not given.
    std::string flat_field;  // --flat-field: "auto" or a file
    bool flat_field_given = false;
    std::string register_px;  // --register PX
    std::string blend_px;     // --blend PX
    bool match_gain = false;  // --match-gain
    bool seamless = false;    // --seamless: every correction with its default
    bool help = false;        // --help: print help_text, run nothing
    bool version = false;     // --version: print the version, run nothing

    // --voxel-size read, once: none when not given or not a size
    std::optional<orvane::voxel_size> voxel;
};

// The seam corrections a run asks for, with --seamless's defaults filled in
// where an option of its own was not given; a value --register or --blend
// does not read as pixels is 0 here (the checks refuse it).
struct seam_request {
    std::string flat_field;  // "auto", a file, or empty: none
    bool match_gain = false;
    std::int32_t register_px = 0;
    std::int32_t blend_px = 0;

    bool any() const
    {
        return !flat_field.empty() || match_gain || register_px > 0 || blend_px > 0;
    }
};

// The search range --seamless registers with.
constexpr std::int32_t seamless_register_px = 8;

seam_request seam_request_of(const run_options& options);

// A whole number of pixels, digits alone (0 to 2^31 - 1); none otherwise.
std::optional<std::int32_t> parse_pixels(const std::string& text);

// Exit statuses of the program.
enum exit_status : int {
    exit_ok = 0,
    exit_usage = 1,   // no arguments, or option values that cannot make a mosaic
    exit_failed = 2,  // an image could not be read or written
};

// Leading white space, optional sign, digits; the rest is ignored. No number
// gives 0, out of range gives the nearest 32-bit limit.
std::int32_t parse_int(const std::string& text);

// The usage with a line for every option, printed on standard output for
// --help; the shorter usage_text (compat/) stays what a bare call prints.
extern const char* const help_text;

// Scans argv[1..]: each of -i -o -s -x -y -d -j --ome-zarr --voxel-size
// --flat-field --register --blend takes the next argument as its value
// whatever it looks like, --plan, --help, --version, --match-gain and
// --seamless stand alone; anything else, and an option with no value after
// it, is ignored.
// The voxel size is read here, once, for every file and check to share.
run_options parse_options(int argc, const char* const* argv);

// "X,Y,Z": three positive finite numbers, nothing else; none otherwise.
std::optional<voxel_size> parse_voxel_size(const std::string& text);

}  // namespace orvane
