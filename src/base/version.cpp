// The version and commit the build was made from, from the header the build generates.
#include "base/version.hpp"

#include "orvane_version.hpp"

namespace orvane {

std::string version_line(const std::string& program)
{
    std::string line = program + " " + ORVANE_VERSION;
    const std::string commit = ORVANE_COMMIT;
    if (!commit.empty())
        line += " (commit " + commit + ")";
    return line;
}

}  // namespace orvane
