#pragma once
// Key-log storage: NSS key-log lines kept per trace.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qor {

/// Where key-log lines came from.
class KeylogSource {
public:
    /// Lines stored for one trace, by the trace's fingerprint.
    static KeylogSource frozenTrace(std::string fingerprint) { return KeylogSource(Kind::frozenTrace, std::move(fingerprint)); }
    /// Lines from a key-log file the user named (for example SSLKEYLOGFILE).
    static KeylogSource userFile(std::string path) { return KeylogSource(Kind::userFile, std::move(path)); }

    enum class Kind { frozenTrace, userFile };
    [[nodiscard]] Kind kind() const { return kind_; }
    /// The fingerprint (frozen trace) or the path (user file).
    [[nodiscard]] const std::string& detail() const { return detail_; }
    friend bool operator==(const KeylogSource&, const KeylogSource&) = default;

private:
    KeylogSource(Kind k, std::string d) : kind_(k), detail_(std::move(d)) {}
    Kind kind_;
    std::string detail_;
};

struct KeylogSourceHash {
    std::size_t operator()(const KeylogSource& s) const noexcept {
        return std::hash<std::string>{}(s.detail()) ^ static_cast<std::size_t>(s.kind());
    }
};

/// The fields of a key-log line "LABEL CLIENT_RANDOM SECRET", split at blanks (spaces, tabs and
/// carriage returns, any number, leading and trailing ones ignored). Views into the line.
struct KeylogFields {
    std::string_view label;
    std::string_view clientRandom;  ///< hexadecimal digits, as written
    std::string_view secret;        ///< hexadecimal digits, as written
    std::size_t count = 0;          ///< how many fields the line has (3 for a well-formed line)
    static KeylogFields of(std::string_view line);
};

/// One key-log line: the whole line, its label (first field) and its source.
struct KeylogEntry {
    std::string line;
    std::string label;
    KeylogSource source;
    friend bool operator==(const KeylogEntry&, const KeylogEntry&) = default;
    /// The entries of a key-log text: one per non-empty line not starting with "#", trimmed.
    static std::vector<KeylogEntry> parse(std::string_view text, const KeylogSource& source);
};

/// The key-log folders: "Tessarine/Keylogs" under the user's data folder, with "Traces" holding
/// one file per trace fingerprint ("<fingerprint>.keylog"). `$QOR_KEYLOG_DIR` replaces the root.
class KeylogLocations {
public:
    static std::filesystem::path root();
    /// Creates the folders; false when that fails.
    static bool ensureDirectories();
    static std::filesystem::path traceEntry(std::string_view fingerprint);
};

class KeylogMigrator {
public:
    /// The incoming lines (trimmed, non-empty, not comments) that the existing text does not yet
    /// hold, in incoming order, each once.
    static std::vector<std::string> newLines(std::string_view existing, std::string_view incoming);
};

}  // namespace qor
