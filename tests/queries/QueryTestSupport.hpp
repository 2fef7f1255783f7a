#pragma once
// Helpers shared by the saved-query tests: legacy fixtures, captured log lines, folder listings.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "QORLog/QORLog.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {

/// The legacy archive fixture `name` (written by tests/fixtures/queries/make_legacy_archives.py).
inline std::filesystem::path legacyFixture(const std::string& name) { return fixturePath("queries/" + name); }

/// The names in a folder, sorted.
inline std::vector<std::string> entries(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

/// Captures the log lines written while it lives.
struct LogCapture {
    LogCapture() {
        setLogSink([this](const LogLine& line) { lines.push_back(line); });
    }
    ~LogCapture() { setLogSink({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<LogLine> lines;
};

}  // namespace qor::test
