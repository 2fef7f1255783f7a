#pragma once
// The 6-byte PPPoE header shared by the discovery and session stages (RFC 2516, section 4).
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |  VER  | TYPE  |      CODE     |          SESSION_ID           |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |            LENGTH             |           payload             ~

#include <cstdint>
#include <optional>

#include "AnalyzerBase.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard::access {

/// The fixed PPPoE header, read from the first 6 bytes.
struct PPPoEHeader {
    static constexpr std::size_t kSize = 6;
    std::uint8_t version = 0;
    std::uint8_t type = 0;
    std::uint8_t code = 0;
    std::uint16_t sessionId = 0;
    std::uint16_t length = 0;  ///< payload length as the header claims it

    /// The header, or nothing when fewer than 6 bytes are there.
    static std::optional<PPPoEHeader> read(const Data& data) {
        ByteReader r(data);
        auto vt = r.readU8();
        auto code = r.readU8();
        auto session = r.readU16be();
        auto length = r.readU16be();
        if (!vt || !code || !session || !length) return std::nullopt;
        return PPPoEHeader{std::uint8_t(*vt >> 4), std::uint8_t(*vt & 0x0F), *code, *session, *length};
    }

    /// Payload bytes actually present: the claimed length, cut to the bytes captured.
    [[nodiscard]] std::size_t payloadPresent(std::size_t total) const {
        std::size_t available = total > kSize ? total - kSize : 0;
        return length < available ? length : available;
    }

    /// Version, Type, Code, Session ID and Payload Length rows.
    [[nodiscard]] NodeList nodes(std::string codeText) const {
        return {field("Version", std::to_string(version), 0, 1), field("Type", std::to_string(type), 0, 1),
                field("Code", std::move(codeText), 1, 1), field("Session ID", hexText(sessionId, 4), 2, 2),
                field("Payload Length", std::to_string(length), 4, 2)};
    }
};

}  // namespace qor::standard::access
