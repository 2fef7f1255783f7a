#pragma once
// Running a helper program to completion with a deadline, collecting what it prints.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace qor {

/// How a helper program ended.
struct ChildProcessResult {
    /// False when the program could not be started; `startError` is then the errno.
    bool started = false;
    int startError = 0;
    /// True when the deadline passed; the program was then killed.
    bool timedOut = false;
    /// The exit status, or 128 plus the signal number when a signal ended it.
    int exitStatus = -1;
    std::string standardOutput;
    std::string standardError;
};

/// Runs `program` (looked up on PATH unless it holds a slash) with `arguments`, standard input
/// from /dev/null, and waits for it at most `timeout`. Each output is kept up to `outputLimit`
/// bytes (the rest is read and dropped, so the program never blocks on a full pipe). A program
/// still running at the deadline is killed with SIGKILL and reaped.
ChildProcessResult runChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                                   std::chrono::milliseconds timeout, std::size_t outputLimit = 64 * 1024);

}  // namespace qor
