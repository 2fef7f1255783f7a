#pragma once
// Running the built qor tool from a test.

#include <string>

namespace qor::test {

/// What one run of qor printed and its exit status.
struct QorRun {
    int status = -1;
    std::string out;
    std::string err;
};

/// Runs the build tree's qor with `args` (a shell command line's arguments).
QorRun runQor(const std::string& args);

}  // namespace qor::test
