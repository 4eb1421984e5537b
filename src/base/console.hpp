// The console's lines: on standard output, on standard error, and a status line kept beneath them.
#pragma once

#include <string>

namespace orvane {

// Writes text and a line end on standard output in one write, so lines of
// different threads may come in any order but never mix inside a line.
void write_output_line(const std::string& text);
// The same on standard error.
void write_error_line(const std::string& text);

// A count of bytes as people read it: "512 bytes", "1.5 GiB".
std::string bytes_text(double bytes);

// Shows text as the status line on standard error, in place of the one shown
// before (a carriage return, no line end), for a caller that knows standard
// error is a terminal. While one is shown, every line written above takes it
// away first and draws it again after, so that on a terminal that shows both
// streams no line lands in the middle of it.
void show_status_line(const std::string& text);
// Takes the status line away, leaving the cursor at the start of its line.
void clear_status_line();

}  // namespace orvane
