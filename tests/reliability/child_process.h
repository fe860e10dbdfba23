// Runs a program of the test's own (a probe) to its end with a bound on the wait: its exit, how
// long it took and what it printed. A child still running at the bound is killed.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace reliability {

struct ChildResult {
    bool exited = false;  // ended by itself, not killed at the bound
    int exitCode = -1;    // its exit code, or -signal if a signal ended it
    std::chrono::milliseconds took{0};
    std::string output;  // its stdout
};

ChildResult runChild(const std::vector<std::string>& arguments, std::chrono::milliseconds limit);

}  // namespace reliability
