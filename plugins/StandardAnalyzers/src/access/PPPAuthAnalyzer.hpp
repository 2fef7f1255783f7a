#pragma once
// What the PAP and CHAP analyzers share.

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "AnalyzerBase.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "access/PPPPacketHeader.hpp"

namespace qor::standard::access {

/// What the PAP and CHAP analyzers share: made only over a readable fixed part, they explain the
/// packet up to its Length, carry nothing, and summarise as "Code name (id N)". `Self` is the
/// concrete analyzer, which names its codes with `static std::span<const CodeName> codes()`.
template <class Self>
class PPPAuthAnalyzer : public StandardAnalyzer<Self> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses bytes without the whole fixed part.
    static bool accepts(const Data& data, const PacketRef&) { return PPPPacketHeader::read(data).has_value(); }

    PPPAuthAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer<Self>(data) {
        this->setHeaderSize(PPPPacketHeader::read(data)->present);
    }
    [[nodiscard]] bool hasPayload() const override { return false; }
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = PPPPacketHeader::read(data);
        if (!header) return std::nullopt;
        return header->summary(lookupName(Self::codes(), header->code));
    }
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
