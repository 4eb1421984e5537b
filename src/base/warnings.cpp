// The run's warnings, each printed once.
#include "base/warnings.hpp"

#include "base/console.hpp"

#include <mutex>
#include <set>

namespace orvane {

void warn_once(const std::string& key, const std::string& text)
{
    static std::mutex mutex;
    static std::set<std::string> given;
    const std::lock_guard<std::mutex> lock(mutex);
    if (!given.insert(key).second)
        return;
    write_error_line("orvane: warning: " + text);
}

}  // namespace orvane
