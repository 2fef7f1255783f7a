#pragma once
// The packet record as analyzers, writers and the application see it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QORDependencies/Caching.hpp"
#include "QORDependencies/QORNodeProtocol.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/InternedString.hpp"
#include "QORPlatform/NSObject.hpp"

namespace qor {

class QORPluginAnalyzerProtocol;

/// A captured packet: where its bytes lie, its capture-header values and what analysis found.
/// Values are read through these accessors or by key (`valueForKey` with the same names).
class QORPacketProtocol : public NSObject {
public:
    // Capture header values.
    [[nodiscard]] virtual std::int64_t packetId() const = 0;
    [[nodiscard]] virtual std::uint32_t dataLocation() const = 0;
    [[nodiscard]] virtual std::uint32_t captureLength() const = 0;
    [[nodiscard]] virtual std::uint32_t realLength() const = 0;
    [[nodiscard]] virtual double dateReceived() const = 0;
    [[nodiscard]] virtual double dateReference() const = 0;
    [[nodiscard]] virtual std::uint32_t linkType() const = 0;
    [[nodiscard]] virtual std::optional<std::string> packetComment() const = 0;
    [[nodiscard]] virtual std::optional<std::int64_t> pcapngInterfaceIndex() const = 0;
    [[nodiscard]] virtual std::optional<std::string> pcapngInterfaceName() const = 0;
    [[nodiscard]] virtual std::optional<std::uint32_t> pcapngPacketFlags() const = 0;

    // Derived values.
    /// Seconds since the first packet of the file.
    [[nodiscard]] virtual double packetTime() const = 0;
    /// The smaller of captured and real length.
    [[nodiscard]] virtual std::uint32_t packetLengthUnified() const = 0;
    [[nodiscard]] virtual std::optional<std::string> packetLinkTypeString() const = 0;
    /// `packetLinkTypeString()` as interned text (a null handle when the link type has no name).
    /// Analysis asks for it once per packet; a packet that keeps the name interned answers
    /// without hashing it again.
    [[nodiscard]] virtual InternedString packetLinkTypeName() const { return InternedString::from(packetLinkTypeString()); }
    /// The captured bytes, or nothing when they are not available.
    [[nodiscard]] virtual std::optional<Data> data() const = 0;

    // Analysis results.
    [[nodiscard]] virtual std::optional<std::string> packetProtocol() const = 0;
    [[nodiscard]] virtual std::optional<std::string> packetProtocolHistory() const = 0;
    [[nodiscard]] virtual std::int32_t packetIPVersion() const = 0;
    /// The summary line as stored by analysis (empty when not computed).
    [[nodiscard]] virtual std::string _packetInfoOverview() const = 0;
    [[nodiscard]] virtual std::string packetInfoOverview() const = 0;
    [[nodiscard]] virtual std::optional<std::string> packetEtherSrc() const = 0;
    [[nodiscard]] virtual std::optional<std::string> packetEtherDst() const = 0;
    [[nodiscard]] virtual std::optional<std::string> packetSourceString() const = 0;
    [[nodiscard]] virtual std::optional<std::string> packetDestinationString() const = 0;
    [[nodiscard]] virtual std::optional<std::string> packetIPSourceAddress() const = 0;
    [[nodiscard]] virtual std::optional<std::string> packetIPDestinationAddress() const = 0;
    /// The analyzer chain, analysing the packet on first use; nothing when empty.
    [[nodiscard]] virtual std::optional<std::vector<std::shared_ptr<QORPluginAnalyzerProtocol>>> cachedAnalyzers() const = 0;
    /// The detail tree, rebuilt.
    [[nodiscard]] virtual NodeList nodes() = 0;
};

using PacketRef = std::shared_ptr<QORPacketProtocol>;

}  // namespace qor
