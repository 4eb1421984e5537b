// The list file: the tile names of a run, column after column.
#pragma once

#include <string>
#include <vector>

namespace orvane {

// One name per line, LF or CR LF endings, empty lines skipped, Ctrl-Z ends the
// text, a UTF-8 byte-order mark at the start dropped. A file that cannot be
// opened or read gives an empty list; one whose lines, size or line count
// pass any real list's throws a list error.
std::vector<std::string> read_list(std::string path);

// The names of a list file's text, by the rules of read_list.
std::vector<std::string> parse_list(std::string text);

}  // namespace orvane
