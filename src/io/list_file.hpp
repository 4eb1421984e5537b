// The list file: the tile names of a run, column after column.
#pragma once

#include <string>
#include <vector>

namespace orvane {

// One name per line, LF or CR LF endings, empty lines skipped, Ctrl-Z ends the
// text; UTF-8 (a byte-order mark at the start dropped) or UTF-16 of either
// byte order after its byte-order mark. A missing file (or a directory)
// gives an empty list; one that exists but cannot be opened or read, one
// whose lines, size or line count pass any real list's, and one with a name
// that is not valid UTF-8 or UTF-16 throw a list error.
std::vector<std::string> read_list(std::string path);

// The names of a list file's text, by the rules of read_list; path names
// the list in its errors.
std::vector<std::string> parse_list(std::string text, const std::string& path = {});

}  // namespace orvane
