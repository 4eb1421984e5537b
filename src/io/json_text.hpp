// Reading a small text file whole, and telling how deep the JSON in a text nests.
#pragma once

#include <cstddef>
#include <string>

namespace orvane {

// The whole file at path; throws an open or read error naming it.
std::string read_text(const std::string& path);

// Whether the brackets and braces of the JSON text nest deeper than limit,
// those inside strings not counted.
bool nests_deeper_than(const std::string& text, std::size_t limit);

}  // namespace orvane
