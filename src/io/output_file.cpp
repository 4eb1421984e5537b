// Temporary names, commit by rename, and the removal of a killed run's leftovers.
#include "io/output_file.hpp"

#include "base/error.hpp"
#include "platform/platform.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvane {

namespace {

const char* const temp_suffix = ".part";

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The process that left name = <final>.<host>.<pid>.part in this host's
// form, or 0 when the name is not one.
long temporary_owner(const std::string& name, const std::string& host_part)
{
    if (!ends_with(name, temp_suffix))
        return 0;
    const std::string stem = name.substr(0, name.size() - std::strlen(temp_suffix));
    const std::size_t dot = stem.rfind('.');
    if (dot == std::string::npos || !ends_with(stem.substr(0, dot + 1), host_part))
        return 0;
    const std::string pid_text = stem.substr(dot + 1);
    if (pid_text.empty() || pid_text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::strtol(pid_text.c_str(), nullptr, 10);
}

}  // namespace

std::string temp_name_for(const std::string& final_path)
{
    return final_path + "." + platform::host_name() + "." + std::to_string(platform::process_id()) +
           temp_suffix;
}

pending_file::pending_file(std::string final_path)
    : final_path_(std::move(final_path)), temp_path_(temp_name_for(final_path_))
{
}

pending_file::~pending_file()
{
    if (!committed_)
        platform::remove_file(temp_path_);
}

void pending_file::commit()
{
    if (!platform::rename_file(temp_path_, final_path_))
        throw error(failure_kind::write, final_path_,
                    "cannot rename '" + temp_path_ + "' to it: " + platform::error_text(errno));
    committed_ = true;
}

int remove_stale_temporaries(const std::string& dir)
{
    // Only this host's processes can be checked.
    const std::string host_part = "." + platform::host_name() + ".";
    int removed = 0;
    for (const std::string& name : platform::directory_entries(dir)) {
        const long pid = temporary_owner(name, host_part);
        if (pid <= 0 || platform::state_of_process(pid) != platform::process_state::gone)
            continue;  // alive, or not ours to judge
        if (platform::remove_file(dir + "/" + name))
            ++removed;
    }
    return removed;
}

}  // namespace orvane
