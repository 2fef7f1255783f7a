#pragma once
// Running the built qor tool from a test.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qor::test {

/// What one run of qor printed and its exit status.
struct QorRun {
    int status = -1;
    std::string out;
    std::string err;
};

/// Runs the build tree's qor with `args` (a shell command line's arguments); status -1 when it
/// cannot be started.
QorRun runQor(const std::string& args);

/// The path of a capture of tests/fixtures/captures, as a command line's argument.
std::string fixture(const char* name);

/// Each line of `text` read as one JSON value (JSON Lines).
std::vector<nlohmann::json> jsonLines(const std::string& text);

}  // namespace qor::test
