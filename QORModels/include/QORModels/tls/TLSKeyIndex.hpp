#pragma once
// Key-log entries grouped by the client random they are for.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "QORCommonTools/Keylog.hpp"

namespace qor {

/// Client random → the key-log entries for it, in the order they were added.
///
/// A key-log line names its client random in its second field (64 hexadecimal digits, either
/// case); lines without one (comments, short lines, other formats) are not indexed. One
/// process-wide index is current at a time (`publish` / `current`, one reference swap, readable
/// from any thread): it is the key material that decryption probes use.
class TLSKeyIndex {
public:
    static constexpr std::size_t clientRandomLength = 32;

    /// Indexes `entry` under its client random; false (and nothing added) when its line has none.
    bool add(KeylogEntry entry);
    /// The entries for `clientRandom` (32 bytes), or null when there are none.
    [[nodiscard]] const std::vector<KeylogEntry>* entries(std::span<const std::byte> clientRandom) const;
    /// The number of client randoms with entries.
    [[nodiscard]] std::size_t size() const noexcept { return byClientRandom_.size(); }
    [[nodiscard]] bool empty() const noexcept { return byClientRandom_.empty(); }

    /// The 32 bytes of the client random field of a key-log line, or nothing.
    static std::optional<std::string> clientRandomField(std::string_view line);

    static void publish(std::shared_ptr<const TLSKeyIndex> index);
    /// The current index; an empty one before anything is published.
    static std::shared_ptr<const TLSKeyIndex> current();

private:
    /// Keyed by the 32 raw bytes of the client random.
    std::unordered_map<std::string, std::vector<KeylogEntry>> byClientRandom_;
};

}  // namespace qor
