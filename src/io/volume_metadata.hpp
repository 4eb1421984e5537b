// The OME-Zarr volume's metadata files: their texts, and the check of what is at a volume's path.
#pragma once

#include "io/volume_layout.hpp"

#include <string>

namespace orvane {

// The texts of the metadata files: the group, its attributes (the one
// multiscale with axes, scales and translations, and under "orvane" the
// slice count and the geometry) and level l's array.
std::string group_text();
std::string attributes_text(const volume_layout& layout);
std::string array_text(const volume_layout& layout, std::size_t level);

// Reads what is at path and throws a volume error naming the file and why
// when it is not a volume of this program's (a file, a plain Zarr array,
// Zarr v3 metadata, a group or attributes another program wrote, JSON too
// deep to read) or when its metadata differs from the layout's: its shape,
// type, chunks, compressor, scales or geometry. Values are quoted cut
// short. Nothing at path, or an empty directory, passes. Attributes that
// record no geometry (written before they did) pass, with a warning that it
// cannot be compared. Writes nothing.
void check_volume(const std::string& path, const volume_layout& layout);

// The form of the volume whose attributes are at path: planar for
// attributes that do not name the volumetric form (written before it was
// made), volumetric for none or for attributes that cannot be read (the
// check then names what is wrong).
pyramid_form pyramid_form_at(const std::string& path);

}  // namespace orvane
