// A slice made without visible seams: tiles corrected by the flat field, columns registered to
// their neighbours, gains matched over the overlaps and the seams blended.
#pragma once

#include "base/image.hpp"
#include "mosaic/flat_field.hpp"
#include "mosaic/geometry.hpp"
#include "mosaic/tile_source.hpp"

#include <cstdint>
#include <vector>

namespace orvane {

// What corrects a slice beyond the plain layout. Everything off gives the
// plain mosaic, which assemble_slice makes.
struct seam_settings {
    const flat_field* flat = nullptr;  // --flat-field: every tile corrected before it is placed
    bool match_gain = false;           // --match-gain
    std::int32_t register_px = 0;      // --register: search range in pixels, 0 off
    std::int32_t blend_px = 0;         // --blend: width of the band across each seam, 0 off

    bool any() const { return flat || match_gain || register_px > 0 || blend_px > 0; }
};

// One seam of one slice, between tile columns left_column and left_column + 1.
struct seam_measure {
    std::int32_t left_column = 0;
    std::int32_t dx = 0, dy = 0;  // the right column's place against its nominal one
    double score = 0;             // the match's score, 0 where it was not registered
    bool reliable = false;        // false: the nominal place was kept
    double gain_left = 1, gain_right = 1;
};

// Makes the canvas (already of the layout's canvas size, holding anything)
// the corrected mosaic of one slice, and says what it found at each seam
// (columns - 1 of them). Depends on this slice's tiles and the settings
// alone, so a slice made alone equals the same slice of a whole run.
std::vector<seam_measure> assemble_seamless(image& canvas, const tile_source& tiles,
                                            const mosaic_layout& layout,
                                            const seam_settings& settings, int threads = 1);

}  // namespace orvane
