// The list file: the tile names of a run, column after column.
#pragma once

#include <string>
#include <vector>

namespace orvane {

// One name per line, LF or CR LF endings, empty lines skipped, Ctrl-Z ends the
// text. A file that cannot be opened gives an empty list.
std::vector<std::string> read_list(std::string path);

// The names of a list file's text, by the rules of read_list.
std::vector<std::string> parse_list(std::string text);

}  // namespace orvane
