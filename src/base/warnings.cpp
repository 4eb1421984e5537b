// The run's warnings, each printed once.
#include "base/warnings.hpp"

#include "base/console.hpp"

#include <mutex>
#include <set>

namespace orvane {

namespace {

std::string& program_name()
{
    static std::string name = "orvane";
    return name;
}

}  // namespace

void name_warning_program(const std::string& program) { program_name() = program; }

void warn_once(const std::string& key, const std::string& text)
{
    static std::mutex mutex;
    static std::set<std::string> given;
    const std::lock_guard<std::mutex> lock(mutex);
    if (!given.insert(key).second)
        return;
    write_error_line(program_name() + ": warning: " + text);
}

}  // namespace orvane
