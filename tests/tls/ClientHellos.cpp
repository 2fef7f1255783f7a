#include "ClientHellos.hpp"

namespace qor::test {

std::string be16(std::uint16_t value) { return {static_cast<char>(value >> 8), static_cast<char>(value & 0xff)}; }

std::string be24(std::uint32_t value) {
    return {static_cast<char>(value >> 16 & 0xff), static_cast<char>(value >> 8 & 0xff), static_cast<char>(value & 0xff)};
}

std::string randomBytes(std::uint8_t first) {
    std::string bytes;
    for (int i = 0; i < 32; ++i) bytes += static_cast<char>(first + i);
    return bytes;
}

Extension sni(const std::string& name, std::uint8_t nameType) {
    std::string entry = std::string(1, static_cast<char>(nameType)) + be16(static_cast<std::uint16_t>(name.size())) + name;
    return {0, be16(static_cast<std::uint16_t>(entry.size())) + entry};
}

Extension alpn(const std::vector<std::string>& names) {
    std::string list;
    for (const auto& name : names) list += static_cast<char>(name.size()) + name;
    return {16, be16(static_cast<std::uint16_t>(list.size())) + list};
}

Extension supportedVersions(const std::vector<std::uint16_t>& versions) {
    std::string list;
    for (auto version : versions) list += be16(version);
    return {43, static_cast<char>(list.size()) + list};
}

std::string ClientHello::body() const {
    std::string extensionBytes;
    for (const auto& e : extensions) extensionBytes += be16(e.type) + be16(static_cast<std::uint16_t>(e.data.size())) + e.data;
    return be16(legacyVersion) + randomBytes(randomStart) + static_cast<char>(sessionId.size()) + sessionId +
           be16(4) + be16(0x1301) + be16(0xc02f) + std::string("\x01\x00", 2) +
           be16(static_cast<std::uint16_t>(extensionBytes.size())) + extensionBytes;
}

std::string ClientHello::message() const { return handshakeMessage(1, body()); }

std::string handshakeMessage(std::uint8_t type, const std::string& body) {
    return static_cast<char>(type) + be24(static_cast<std::uint32_t>(body.size())) + body;
}

std::string record(std::uint8_t type, const std::string& fragment) {
    return static_cast<char>(type) + std::string("\x03\x03", 2) + be16(static_cast<std::uint16_t>(fragment.size())) + fragment;
}

std::string handshakeRecords(const std::string& bytes, std::size_t size) {
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); at += size) out += record(22, bytes.substr(at, size));
    return out;
}

}  // namespace qor::test
