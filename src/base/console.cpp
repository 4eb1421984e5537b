// Console lines and the status line, written under one lock.
#include "base/console.hpp"

#include <cstdio>
#include <iostream>
#include <mutex>

namespace orvane {

namespace {

std::mutex console_mutex;
std::string shown_status;  // the status line on the terminal, empty when none

// Blanks the status line with spaces rather than a terminal's erase sequence:
// a Windows console without escape processing takes both returns and spaces.
void erase_status()
{
    if (!shown_status.empty())
        std::cerr << "\r" + std::string(shown_status.size(), ' ') + "\r" << std::flush;
}

void draw_status()
{
    if (!shown_status.empty())
        std::cerr << shown_status << std::flush;
}

}  // namespace

std::string bytes_text(double bytes)
{
    const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 6) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

void write_output_line(const std::string& text)
{
    const std::lock_guard<std::mutex> lock(console_mutex);
    erase_status();
    std::cout << text + "\n" << std::flush;
    draw_status();
}

void write_error_line(const std::string& text)
{
    const std::lock_guard<std::mutex> lock(console_mutex);
    erase_status();
    std::cerr << text + "\n" << std::flush;
    draw_status();
}

void show_status_line(const std::string& text)
{
    const std::lock_guard<std::mutex> lock(console_mutex);
    // One write blanks the old line and draws the new one, so a shorter line
    // leaves nothing of a longer one behind.
    std::cerr << "\r" + std::string(shown_status.size(), ' ') + "\r" + text << std::flush;
    shown_status = text;
}

void clear_status_line()
{
    const std::lock_guard<std::mutex> lock(console_mutex);
    erase_status();
    shown_status.clear();
}

}  // namespace orvane
