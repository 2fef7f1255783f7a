#pragma once
// Building the key index from key-log files and the open capture's own key store.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "QORModels/tls/TLSKeyIndex.hpp"

namespace qor {

/// A key-log line that was skipped, or a key-log file that could not be read.
struct TLSKeyLogProblem {
    /// The file's path, or "decryption secrets block N" (from 1) for a text read from the capture.
    std::string origin;
    /// The line, from 1; nothing for a file that could not be read at all.
    std::optional<std::size_t> lineNumber;
    /// What is wrong. A line is quoted by its first 48 bytes at most (others shown as "."), with
    /// its length when it is longer, so a huge line never lands whole in a message.
    std::string message;

    /// origin ":" line ": " message, or origin ": " message without a line.
    [[nodiscard]] std::string description() const;
    friend bool operator==(const TLSKeyLogProblem&, const TLSKeyLogProblem&) = default;
};

/// Reads NSS key-log texts into a `TLSKeyIndex`.
///
/// A line is well formed when, with blanks (spaces, tabs, a carriage return) trimmed from both
/// ends, it is empty, a "#" comment, or three fields separated by blanks: a label of letters,
/// digits and "_", 64 hexadecimal digits of client random, and an even, non-zero number of
/// hexadecimal digits of secret. Every other line is reported as a problem with its origin and
/// line number and skipped. Lines are counted at "\n".
///
/// Each entry keeps the trimmed line. The same line twice from one source is one entry.
class TLSKeyIndexBuilder {
public:
    TLSKeyIndexBuilder() = delete;

    struct Result {
        TLSKeyIndex index;
        std::vector<TLSKeyLogProblem> problems;  ///< in reading order
    };

    /// The index of every key-log file of `keyLogFiles` (each its own source,
    /// `KeylogSource::userFile(path)`, in the order given) and of the open capture's key store:
    /// the per-trace store file `KeylogLocations::traceEntry(traceFingerprint)` and then the
    /// Decryption Secrets Block texts read from the capture, `embeddedSecrets`, which make one
    /// source, `KeylogSource::frozenTrace(traceFingerprint)`, so a line found in both is one
    /// entry. Without a fingerprint the store file is not read and the embedded texts are
    /// indexed under `frozenTrace("")`. A key-log file that cannot be read (missing, a folder,
    /// unreadable) is one problem; a store file that does not exist yet is none. Never throws
    /// on content.
    static Result build(std::span<const std::filesystem::path> keyLogFiles, const std::optional<std::string>& traceFingerprint,
                        std::span<const std::string> embeddedSecrets);

    /// What is wrong with one key-log line, or nothing when it is well formed (see above).
    static std::optional<std::string> lineProblem(std::string_view line);
};

}  // namespace qor
