// The flat field as a file: two pages of 32-bit floats of a tile's size, S then D.
#pragma once

#include "io/unsynced_file.hpp"
#include "mosaic/flat_field.hpp"
#include "mosaic/sizes.hpp"

#include <cstdint>
#include <string>

namespace orvane {

// Writes the field to path (a temporary of the caller's): page 1 S, page 2
// D, each one strip of uncompressed IEEE floats, handed back unsynced.
// Throws a write error naming path on failure.
unsynced_file write_flat_field(const std::string& path, const flat_field& field);

// Reads a flat field file: exactly two pages of one 32-bit float sample
// each, both of the tile's size, S positive and finite, D finite. Anything
// else is a read error naming the file and saying what it holds instead.
flat_field read_flat_field(const std::string& path, tile_size tile);

// A 64-bit FNV-1a hash of the field's size and values, as 16 hexadecimal
// digits: the same field read from any file gives the same text.
std::string flat_field_identity(const flat_field& field);

}  // namespace orvane
