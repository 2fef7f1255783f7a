#pragma once
// TLS records and ClientHellos written byte by byte.

#include <cstdint>
#include <string>
#include <vector>

namespace qor::test {

inline std::string be16(std::uint16_t value) { return {static_cast<char>(value >> 8), static_cast<char>(value & 0xff)}; }

/// The 32 bytes first, first+1, ...
inline std::string randomBytes(std::uint8_t first) {
    std::string bytes;
    for (int i = 0; i < 32; ++i) bytes += static_cast<char>(first + i);
    return bytes;
}

/// A handshake message: type, 24-bit length, body.
inline std::string handshakeMessage(std::uint8_t type, const std::string& body) {
    const auto length = static_cast<std::uint32_t>(body.size());
    return std::string{static_cast<char>(type), static_cast<char>(length >> 16)} + be16(static_cast<std::uint16_t>(length)) + body;
}

/// A TLS record: type, version 0x0303, 16-bit length, fragment.
inline std::string record(std::uint8_t type, const std::string& fragment) {
    return std::string{static_cast<char>(type), 3, 3} + be16(static_cast<std::uint16_t>(fragment.size())) + fragment;
}

/// The bytes cut into handshake records of at most `size` bytes each.
inline std::string handshakeRecords(const std::string& bytes, std::size_t size) {
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); at += size) out += record(22, bytes.substr(at, size));
    return out;
}

struct Extension {
    std::uint16_t type;
    std::string data;
};

/// server_name with one entry of `nameType`.
inline Extension sni(const std::string& name, std::uint8_t nameType = 0) {
    const std::string entry = static_cast<char>(nameType) + be16(static_cast<std::uint16_t>(name.size())) + name;
    return {0, be16(static_cast<std::uint16_t>(entry.size())) + entry};
}

inline Extension alpn(const std::vector<std::string>& names) {
    std::string list;
    for (const auto& name : names) list += static_cast<char>(name.size()) + name;
    return {16, be16(static_cast<std::uint16_t>(list.size())) + list};
}

inline Extension supportedVersions(const std::vector<std::uint16_t>& versions) {
    std::string list;
    for (auto version : versions) list += be16(version);
    return {43, static_cast<char>(list.size()) + list};
}

/// A ClientHello body: legacy version, random, session id, two cipher suites, the null
/// compression method and the extensions block; `message()` wraps it in a handshake message.
struct ClientHello {
    std::uint16_t legacyVersion = 0x0303;
    std::uint8_t randomStart = 1;
    std::string sessionId = std::string(32, '\x5a');
    std::vector<Extension> extensions;

    [[nodiscard]] std::string body() const {
        std::string block;
        for (const auto& e : extensions) block += be16(e.type) + be16(static_cast<std::uint16_t>(e.data.size())) + e.data;
        return be16(legacyVersion) + randomBytes(randomStart) + static_cast<char>(sessionId.size()) + sessionId + be16(4) + be16(0x1301) +
               be16(0xc02f) + std::string("\x01\x00", 2) + be16(static_cast<std::uint16_t>(block.size())) + block;
    }
    [[nodiscard]] std::string message() const { return handshakeMessage(1, body()); }
};

}  // namespace qor::test
