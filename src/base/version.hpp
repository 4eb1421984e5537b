// The version both programs print for --version.
#pragma once

#include <string>

namespace orvane {

// "PROGRAM X.Y.Z", followed in a build from a git checkout by the commit,
// "(commit 0123456789ab)", with ", modified" when files differed from it.
std::string version_line(const std::string& program);

}  // namespace orvane
