#pragma once
// The fixed part of a PAP or CHAP packet, which has the shape of an LCP packet.

#include <algorithm>
#include <memory>
#include <span>
#include <cstdint>
#include <optional>
#include <string>

#include "QORCommonTools/ByteReader.hpp"
#include "AnalyzerBase.hpp"

namespace qor::standard::access {

/// Code (1), Identifier (1), Length (2, counting the whole packet), then the code's data
/// (RFC 1334 section 2.2, RFC 1994 section 4).
struct PPPAuthHeader {
    static constexpr std::size_t kSize = 4;
    std::uint8_t code = 0;
    std::uint8_t identifier = 0;
    std::uint16_t length = 0;
    std::size_t present = 0;  ///< packet bytes actually there: Length cut to the capture, at least 4

    static std::optional<PPPAuthHeader> read(const Data& data) {
        ByteReader r(data);
        auto code = r.readU8();
        auto id = r.readU8();
        auto length = r.readU16be();
        if (!code || !id || !length) return std::nullopt;
        PPPAuthHeader h{*code, *id, *length, 0};
        h.present = std::max<std::size_t>(kSize, std::min<std::size_t>(*length, data.size()));
        return h;
    }
    /// The summary line both protocols use: "Name (id N)", or "Unknown code C (id N)".
    template <class Name>
    [[nodiscard]] std::string summary(const Name& codeName) const {
        return (codeName ? std::string(*codeName) : "Unknown code " + std::to_string(code)) + " (id " +
               std::to_string(identifier) + ")";
    }
    /// The data after the fixed part, within Length.
    [[nodiscard]] ByteReader body(const Data& data) const {
        return ByteReader(data.span().subspan(kSize, present - kSize));
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

/// What the PAP and CHAP analyzers share: made only over a readable fixed part, they explain the
/// packet up to its Length, carry nothing, and summarise as "Code name (id N)". `Self` is the
/// concrete analyzer, which names its codes with `static std::span<const CodeName> codes()`.
template <class Self>
class PPPAuthAnalyzer : public AnalyzerBase {
public:
    using AnalyzerBase::protocolInfo;
    PPPAuthAnalyzer(const Data& data, const PacketRef&) : AnalyzerBase(data) {}
    static std::shared_ptr<Self> create(const Data& data, const PacketRef& packet) {
        auto header = PPPAuthHeader::read(data);
        if (!header) return nullptr;
        auto a = std::make_shared<Self>(data, packet);
        static_cast<PPPAuthAnalyzer&>(*a).header_ = *header;
        return a;
    }
    [[nodiscard]] std::uint16_t protocolSize() const override { return static_cast<std::uint16_t>(header_.present); }
    [[nodiscard]] std::optional<std::string> nextProtocol() const override { return std::nullopt; }
    [[nodiscard]] bool hasPayload() const override { return false; }
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = PPPAuthHeader::read(data);
        if (!header) return std::nullopt;
        return header->summary(lookupName(Self::codes(), header->code));
    }

private:
    PPPAuthHeader header_;
};

/// A one-byte length and that many bytes, as PAP's Peer-ID, Password and Message are written;
/// nothing when the length runs past the packet.
inline std::optional<std::span<const std::byte>> readCounted(ByteReader& r) {
    auto saved = r;
    auto length = r.readU8();
    if (!length) return std::nullopt;
    auto bytes = r.readBytes(*length);
    if (!bytes) {
        r = saved;
        return std::nullopt;
    }
    return bytes;
}

}  // namespace qor::standard::access
