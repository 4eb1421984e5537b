// Temporary names, commit by rename, and the removal of a killed run's leftovers.
#include "slice/output_file.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <stdexcept>
#include <unistd.h>

namespace orvane {

namespace {

const char* const temp_suffix = ".part";

std::string host_name()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

std::string temp_name_for(const std::string& final_path)
{
    return final_path + "." + host_name() + "." + std::to_string(::getpid()) + temp_suffix;
}

pending_file::pending_file(std::string final_path)
    : final_path_(std::move(final_path)), temp_path_(temp_name_for(final_path_))
{
}

pending_file::~pending_file()
{
    if (!committed_)
        ::unlink(temp_path_.c_str());
}

void pending_file::commit()
{
    if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0)
        throw std::runtime_error("cannot rename '" + temp_path_ + "' to '" + final_path_ +
                                 "': " + std::strerror(errno));
    committed_ = true;
}

int remove_stale_temporaries(const std::string& dir)
{
    DIR* listing = ::opendir(dir.c_str());
    if (!listing)
        return 0;
    const std::string host_part = "." + host_name() + ".";
    int removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (!ends_with(name, temp_suffix))
            continue;
        // name = <final>.<host>.<pid>.part; only this host's processes can be checked.
        const std::string stem = name.substr(0, name.size() - std::strlen(temp_suffix));
        const std::size_t dot = stem.rfind('.');
        if (dot == std::string::npos || !ends_with(stem.substr(0, dot + 1), host_part))
            continue;
        const std::string pid_text = stem.substr(dot + 1);
        if (pid_text.empty() || pid_text.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const long pid = std::strtol(pid_text.c_str(), nullptr, 10);
        if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;  // alive, or not ours to judge
        if (::unlink((dir + "/" + name).c_str()) == 0)
            ++removed;
    }
    ::closedir(listing);
    return removed;
}

} // namespace orvane
