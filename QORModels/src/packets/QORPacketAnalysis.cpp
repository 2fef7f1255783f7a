// PLACEHOLDER — to be replaced wholesale by the analysis work (lazy analysis, the lookup table,
// attribute values, source and destination strings, summary line).

#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPacketFields.hpp"

namespace qor {

std::optional<AnalyzerChain> QORPacket::cachedAnalyzers() const {
    auto chain = cacheManager()->analyzersCache();
    if (chain.empty()) return std::nullopt;
    return chain;
}
void QORPacket::setCachedAnalyzers(const std::optional<AnalyzerChain>& analyzers) {
    if (analyzers) cacheManager()->append(*analyzers);
}
std::optional<std::uint16_t> QORPacket::protocolOffset(const AnalyzerChain& chain, const QORPluginAnalyzerProtocol* analyzer) {
    std::uint16_t offset = 0;
    for (auto& a : chain) {
        if (a.get() == analyzer) return offset;
        offset = static_cast<std::uint16_t>(offset + a->protocolSize());
    }
    return std::nullopt;
}
std::optional<Data> QORPacket::dataForProtocolName(std::string_view) const { return std::nullopt; }
std::optional<std::string> QORPacket::packetEtherSrc() const { return _packetEtherSrc(); }
std::optional<std::string> QORPacket::packetEtherDst() const { return _packetEtherDst(); }
std::optional<std::string> QORPacket::packetSourceString() const { return std::nullopt; }
std::optional<std::string> QORPacket::packetDestinationString() const { return std::nullopt; }
std::string QORPacket::packetInfoOverview() const { return _packetInfoOverview(); }
void QORPacket::redissect() {}
void QORPacket::snapshotPluginRegistry() {}
AnalyzerClassRef QORPacket::pluginAnalyzerClass(std::string_view) { return nullptr; }
std::optional<std::int64_t> QORPacket::pluginHeaderSize(std::string_view) { return std::nullopt; }
AnalyzerChain QORPacket::analyzers(const Data&, std::string_view, std::optional<std::uint32_t>) { return {}; }
Value QORPacket::valueForUndefinedKey(std::string_view) const { return {}; }

}  // namespace qor
