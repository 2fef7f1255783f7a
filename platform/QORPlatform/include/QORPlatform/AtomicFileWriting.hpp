#pragma once
// Replacing a file whole: a reader sees the old file or the complete new one, never a part.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace qor {

/// How `writeFileAtomically` goes about a write.
struct AtomicWriteOptions {
    /// Create the target's missing parent folders first (otherwise a missing folder fails).
    bool createParentDirectories = false;
    /// The expected size: the file is reserved at this size before anything is written, so that
    /// a full disk is reported before the write starts, and cut to the size written at the end.
    std::uint64_t expectedSize = 0;
    /// Remove the temporary file when SIGINT, SIGTERM or SIGHUP arrives during the write (the
    /// signal then takes its default action). Meant for command-line tools writing large files;
    /// the handlers are installed for the write only and the previous ones restored afterwards.
    /// Writes that ask for it are serialised with each other.
    bool removeOnInterrupt = false;
    /// Flush the content to the storage device before the rename and the folder entry after it
    /// (`fsync`), so that a crash or power loss leaves the old file or the complete new one.
    /// Costs a device round trip per write: meant for small files that must survive (saved
    /// settings, saved queries), not for bulk output.
    bool synchronize = false;
};

/// Receives the content chunk by chunk; false when the chunk could not be written.
using AtomicWriteSink = std::function<bool(std::span<const std::byte>)>;
/// Produces the content into the sink; false (or a refused chunk) abandons the write.
using AtomicWriteContent = std::function<bool(const AtomicWriteSink&)>;

/// Writes a file through a temporary file in the target's folder (a hidden name beginning with
/// "." + the target's name + ".qor-") that is renamed over the target once complete, so the target
/// is either the old file or the complete new one. A new target gets the usual permissions
/// (0666 less the umask); an existing target keeps its mode. On failure nothing is left behind,
/// the target is unchanged and `error` (when given) reads "what failed: system reason", for
/// example "cannot create a file in out: No such file or directory".
///
/// Thread-safe: concurrent writes to different targets are independent; two concurrent writes
/// to one target each replace it whole, the last rename wins.
bool writeFileAtomically(const std::filesystem::path& path, const AtomicWriteContent& content,
                         const AtomicWriteOptions& options = {}, std::string* error = nullptr);

/// `bytes` as the whole new content of `path`; creates missing parent folders.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

}  // namespace qor
