// The options of orvane-align and the slices it looks at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane::align {

struct align_options {
    std::string list_path;
    std::string splitnumber_text = "4";  // as given, for the command printed
    std::int32_t splitnumber = 4;
    std::vector<std::int32_t> slices;  // -k; empty: spread through the stack
    std::optional<int> max_overlap;
    std::optional<int> max_shift;
    std::string preview_path;
    // --flat-field: "auto" estimates it from the tiles, anything else names
    // a flat field file; empty: none. Every tile is corrected by it before
    // it is matched, and the preview is drawn corrected and blended.
    std::string flat_field;
    std::optional<std::int32_t> xoverlap;  // -x and -y: preview with these, estimate nothing
    std::optional<std::int32_t> yoffset;
    bool help = false;
    bool version = false;
};

// Parses argv[1..]; throws the usage error saying why on misuse.
align_options parse_align_options(int argc, const char* const* argv);

// The slices looked at by default: all of up to 8, else 8 spread evenly,
// each in the middle of its eighth of the stack.
std::vector<std::int32_t> spread_slices(std::int32_t slice_count);

}  // namespace orvane::align
