// Warnings a user must see: printed on standard error, each at most once per run.
#pragma once

#include <string>

namespace orvane {

// Prints "orvane: warning: " + text on standard error, unless a warning with
// the same key was printed before in this process. Safe from many threads.
void warn_once(const std::string& key, const std::string& text);

}  // namespace orvane
