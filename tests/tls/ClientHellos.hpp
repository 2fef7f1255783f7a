#pragma once
// TLS records and ClientHellos written byte by byte.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qor::test {

/// Big-endian bytes appended to a text.
std::string be16(std::uint16_t value);
std::string be24(std::uint32_t value);

/// The 32 bytes first, first+1, ...
std::string randomBytes(std::uint8_t first);

struct Extension {
    std::uint16_t type;
    std::string data;
};
/// server_name with one entry of `nameType`.
Extension sni(const std::string& name, std::uint8_t nameType = 0);
/// application_layer_protocol_negotiation with the names in order.
Extension alpn(const std::vector<std::string>& names);
/// supported_versions with the versions in order.
Extension supportedVersions(const std::vector<std::uint16_t>& versions);

/// A ClientHello body: legacy version, random, session id, two cipher suites, one compression
/// method (null) and the extensions block.
struct ClientHello {
    std::uint16_t legacyVersion = 0x0303;
    std::uint8_t randomStart = 1;
    std::string sessionId = std::string(32, '\x5a');
    std::vector<Extension> extensions;
    [[nodiscard]] std::string body() const;
    /// The body in a handshake message (type 1).
    [[nodiscard]] std::string message() const;
};

/// A handshake message: type, 24-bit length, body.
std::string handshakeMessage(std::uint8_t type, const std::string& body);
/// A TLS record: type, version 0x0303, 16-bit length, fragment.
std::string record(std::uint8_t type, const std::string& fragment);
/// The bytes cut into handshake records of at most `size` bytes each.
std::string handshakeRecords(const std::string& bytes, std::size_t size);

}  // namespace qor::test
