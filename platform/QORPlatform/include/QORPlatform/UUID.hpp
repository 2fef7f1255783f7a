#pragma once
// Universally unique identifiers.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qor {

/// A 128-bit UUID; `UUID()` makes a fresh random one (version 4) without a system call.
class UUID {
public:
    UUID();
    static std::optional<UUID> fromString(std::string_view text);
    /// Upper-case text with hyphens, as the platform prints UUIDs.
    [[nodiscard]] std::string uuidString() const;
    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;
    [[nodiscard]] const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

private:
    struct Raw {};
    explicit UUID(Raw) : bytes_{} {}
    std::array<std::uint8_t, 16> bytes_;
};

}  // namespace qor
