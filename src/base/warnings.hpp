// Warnings a user must see: printed on standard error, each at most once per run.
#pragma once

#include <string>

namespace orvane {

// Prints "PROGRAM: warning: " + text on standard error, unless a warning
// with the same key was printed before in this process. Safe from many threads.
void warn_once(const std::string& key, const std::string& text);

// The PROGRAM of the warnings, "orvane" unless named otherwise; set once,
// before any thread.
void name_warning_program(const std::string& program);

}  // namespace orvane
