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

}  // namespace orvane_test
