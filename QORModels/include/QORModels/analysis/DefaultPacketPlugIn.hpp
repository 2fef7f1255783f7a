#pragma once
// The built-in packet plug-in: the attributes every packet has, whatever its protocols.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORDependencies/Records.hpp"
#include "QORPlatform/InternedString.hpp"

namespace qor {

/// Reads the packet-level attributes (number, addresses, history, time, lengths, summary) from
/// a packet through key-value access. Holds the packet weakly.
struct DefaultPacketDissector {
    std::weak_ptr<QORPacketProtocol> packet;
    /// The packet's property `key`, converted to the attribute's type; none for keys outside the
    /// eleven packet attributes, a missing or mistyped value, or a packet that is gone.
    [[nodiscard]] Value value(std::string_view key) const;
};

/// The analyzer at the head of every packet's chain. It explains no bytes (header size 0),
/// never names a next protocol, names no protocol of its own and gives no summary, so the chain
/// and the summary line are decided by the analyzers after it.
///
/// Thread safety: created per analysis run on the analysing thread; immutable afterwards.
class DefaultPacketProtocolAnalyzer final : public QORPluginAnalyzerProtocol {
public:
    /// `init(data:packet:)`; never refuses.
    static std::shared_ptr<DefaultPacketProtocolAnalyzer> create(const Data& data, const PacketRef& packet);
    /// The shared class object of this analyzer.
    static const AnalyzerClassRef& analyzerClassRef();

    DefaultPacketProtocolAnalyzer(std::uint16_t bytesCount, InternedString linktype, std::weak_ptr<QORPacketProtocol> packet)
        : bytesCount_(bytesCount), linktype_(linktype), defaultPacketDissector_{std::move(packet)} {}

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override { return *analyzerClassRef(); }
    [[nodiscard]] std::uint16_t protocolSize() const override { return 0; }
    [[nodiscard]] std::optional<std::string> nextProtocol() const override { return std::nullopt; }
    [[nodiscard]] bool hasPayload() const override { return true; }
    [[nodiscard]] std::optional<std::string> protocolName() const override { return std::nullopt; }
    [[nodiscard]] std::optional<std::string> protocolInfo() const override { return std::nullopt; }
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data&) const override { return std::nullopt; }
    /// Always empty: the packet's own node comes from the packet record.
    [[nodiscard]] NodeList protocolNodes(const Data&) const override { return {}; }
    /// The packet's detail nodes (read under the key "nodes"); nothing when the packet is gone.
    [[nodiscard]] std::optional<NodeList> protocolNodes() const;
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override;
    [[nodiscard]] std::string_view className() const override { return "DefaultPacketProtocolAnalyzer"; }

    [[nodiscard]] std::uint16_t bytesCount() const { return bytesCount_; }
    /// The packet's link-type name, or its link-type number in decimal when it has no name.
    [[nodiscard]] std::string_view linktype() const { return linktype_.view(); }

private:
    std::uint16_t bytesCount_;
    InternedString linktype_;  // link-type names are few: one pointer per packet
    DefaultPacketDissector defaultPacketDissector_;
};

/// The built-in plug-in's structure, attributes and default columns.
namespace DefaultPacketPlugIn {
/// Title "Packet", one target protocol "All"; built afresh (new ids) on every call.
QORPlugInStructure packetPlugIn();
/// The eleven packet attributes, owned by `DefaultPacketProtocolAnalyzer`.
std::vector<QORPlugInAnalyzerAttribute> analyzerAttributes();
/// The eleven default packet-table columns.
std::vector<QORPlugInColumn> defaultColumns();
}  // namespace DefaultPacketPlugIn

}  // namespace qor
