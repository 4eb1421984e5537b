// The project's one error type: what failed, on which file, and why.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace orvane {

// What a failure stopped. compat/library_conventions.hpp turns each kind
// into the report scripts look for, in one place at the edge.
enum class failure_kind {
    open,              // a file named by the user could not be opened
    read,              // a file was opened but could not be read as an image
    write,             // an output could not be created, written, synced or renamed
    allocate,          // memory for an image or buffer could not be had
    list,              // the list file is no list of tile names
    volume,            // a volume already at the output path is not the one this run writes
    library_io,        // the image library's own reader failed: cause is its message
    library_instance,  // the image library refused an image: cause is its message
    library_argument,  // the image library refused a size: cause is its message
    usage,             // option values or inputs that make no run: cause is the whole reason
    no_result,         // the inputs were read but give no result (no estimate): cause says why
};

// Thrown by every layer below the drivers, the checks of options too; caught
// and reported once, by the driver, which gives each kind its exit status.
class error : public std::runtime_error {
public:
    error(failure_kind kind, std::string path, std::string cause)
        : std::runtime_error(path.empty() ? cause : "'" + path + "': " + cause), kind_(kind),
          path_(std::move(path)), cause_(std::move(cause))
    {
    }

    failure_kind kind() const { return kind_; }
    // The file the failure concerns, as the user or the program named it.
    const std::string& path() const { return path_; }
    // Why, without the path: "No space left on device", "strip 3 is truncated".
    const std::string& cause() const { return cause_; }

private:
    failure_kind kind_;
    std::string path_;
    std::string cause_;
};

}  // namespace orvane
