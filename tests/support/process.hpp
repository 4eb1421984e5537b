// Test helper: runs a program and captures what it printed and how it ended.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace orvane_test {

struct process_result {
    int exit_code = -1;  // -1 when ended by a signal
    int signal = 0;      // the signal that ended it, or 0
    std::string out;
    std::string err;
};

// Runs program with args (argv[0] is program), extra environment entries
// "NAME=value" added to this process's environment, in working directory cwd
// (empty: this one's).
process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env = {}, const std::string& cwd = {});

// Starts program in the background with its output discarded; returns its pid.
int spawn_process(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env = {});

// Waits for a spawned process; returns its raw wait status.
int wait_process(int pid);

// Whether out is the one line --version prints: program and the project's
// version, then, from a git checkout, " (commit " and 12 hexadecimal digits,
// ", modified" when files differed from it, and ")".
inline bool is_version_line(const std::string& out, const std::string& program)
{
    const std::string start = program + " " + ORVANE_PROJECT_VERSION;
    if (out == start + "\n")
        return true;
    const std::string open = " (commit ";
    if (out.rfind(start + open, 0) != 0)
        return false;
    const std::string rest = out.substr(start.size() + open.size());
    if (rest.size() < 12 || rest.find_first_not_of("0123456789abcdef") != 12)
        return false;
    return rest.substr(12) == ")\n" || rest.substr(12) == ", modified)\n";
}

}  // namespace orvane_test
