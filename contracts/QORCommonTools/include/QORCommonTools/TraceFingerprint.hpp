#pragma once
// Stable fingerprints of capture files.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace qor {

/// A text that names a capture file's content: the same bytes give the same fingerprint
/// wherever the file lies. Files up to `fullHashThreshold` bytes are hashed whole (XXH3, 128
/// bits); larger ones by their size and three blocks of `blockSize` bytes (start, middle, end),
/// which keeps fingerprinting a multi-gigabyte trace instant.
class TraceFingerprint {
public:
    static constexpr std::uint64_t defaultFullHashThreshold = 64ull * 1024 * 1024;
    static constexpr std::uint64_t defaultBlockSize = 1024ull * 1024;
    /// 32 lower-case hex digits; nothing when the file cannot be read.
    static std::optional<std::string> fingerprint(const std::filesystem::path& file,
                                                  std::uint64_t fullHashThreshold = defaultFullHashThreshold,
                                                  std::uint64_t blockSize = defaultBlockSize);
};

}  // namespace qor
