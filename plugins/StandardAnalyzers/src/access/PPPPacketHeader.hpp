#pragma once
// The fixed part of the packets of PPP's control and authentication protocols.

#include <algorithm>
#include <span>
#include <cstdint>
#include <optional>
#include <string>

#include "QORCommonTools/ByteReader.hpp"
#include "AnalyzerBase.hpp"

namespace qor::standard::access {

/// The fixed part of an LCP-shaped packet (LCP, IPCP, IPv6CP, CCP, PAP, CHAP; RFC 1661 section 5,
/// RFC 1334 section 2.2, RFC 1994 section 4):
///
///     +--------+------------+----------------+--------
///     |  Code  | Identifier |     Length     | Data ...
///     +--------+------------+----------------+--------
///
/// Length counts the whole packet; the bytes after it (PPPoE or Ethernet padding) are not part of
/// the packet.
struct PPPPacketHeader {
    static constexpr std::size_t kSize = 4;
    std::uint8_t code = 0;
    std::uint8_t identifier = 0;
    std::uint16_t length = 0;
    std::size_t present = 0;  ///< packet bytes actually there: Length cut to the capture, at least 4

    static std::optional<PPPPacketHeader> read(const Data& data) {
        ByteReader r(data);
        auto code = r.readU8();
        auto id = r.readU8();
        auto length = r.readU16be();
        if (!code || !id || !length) return std::nullopt;
        PPPPacketHeader h{*code, *id, *length, 0};
        h.present = std::max<std::size_t>(kSize, std::min<std::size_t>(*length, data.size()));
        return h;
    }
    /// The start of the summary line: "Name (id N)", or "Unknown code C (id N)".
    template <class Name>
    [[nodiscard]] std::string summary(const Name& codeName) const {
        return (codeName ? std::string(*codeName) : "Unknown code " + std::to_string(code)) + " (id " +
               std::to_string(identifier) + ")";
    }
    /// The data after the fixed part, within Length.
    [[nodiscard]] ByteReader body(const Data& data) const {
        return ByteReader(data).sliceAt(kSize, present - kSize).value_or(ByteReader());
    }
    /// Code, Identifier and Length rows, with a note when Length disagrees with the bytes.
    void addNodes(NodeList& nodes, std::string codeText, std::size_t available) const {
        nodes.push_back(field("Code", std::move(codeText), 0, 1));
        nodes.push_back(field("Identifier", std::to_string(identifier), 1, 1));
        nodes.push_back(field("Length", std::to_string(length), 2, 2));
        if (length < kSize || length > available)
            nodes.push_back(field(length < kSize ? "Malformed" : "Truncated",
                                  "length " + std::to_string(length) + ", " + std::to_string(available) + " bytes present",
                                  2, 2));
    }
};

}  // namespace qor::standard::access
