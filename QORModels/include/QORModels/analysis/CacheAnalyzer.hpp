#pragma once
// One packet's walk through its chain of protocol analyzers.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORModels/analysis/CompactAnalyzerChain.hpp"
#include "QORPlatform/InternedString.hpp"
#include "QORPlatform/NSObject.hpp"

namespace qor {

class QORPacket;
struct PluginLookupTable;

/// What a packet listing shows of a packet, noted by the walk from the analyzers it makes
/// anyway, so that a listing does not make them a second time: the summary of the analyzer that
/// names no protocol after it, and the addresses of the first header of each IP address
/// attribute's class. Each note names the link it came from (its position in the chain); the
/// reader uses a note only when that link is the one it would have asked (the chain's last
/// link, the first link of the attribute's class).
struct ListingSighting {
    std::optional<std::uint8_t> summaryLink;
    std::string summary;
    struct Addresses {
        std::optional<std::uint8_t> link;
        std::optional<std::string> source, destination;
    };
    Addresses ipv4, ipv6;
};

/// Sees each analyzer a walk takes into its chain while the walk holds it, so that a caller
/// that reads some layers' fields reads them then instead of making those analyzers again.
class LayerObserver {
public:
    /// The analyzer of the link about to take place `link` in the chain (`links()[link]`), made
    /// from `bytes`: `name` is the name the protocol history gives the layer, `next` the
    /// protocol the analyzer names after it (the null handle when none, and then the walk ends
    /// with this link). Called only for analyzers the chain takes, in chain order.
    virtual void layer(std::size_t link, InternedString name, const QORPluginAnalyzerProtocol& analyzer, const Data& bytes,
                       InternedString next) = 0;

protected:
    ~LayerObserver() = default;
};

/// Builds a packet's analyzer chain: the built-in packet analyzer, the analyzer of the packet's
/// link type, then header after header the analyzer of each protocol the previous one names.
/// On the way it records the innermost protocol, the protocol history ("ETH-IP-TCP"), the IP
/// version and addresses, the unexplained payload window, the sum of header sizes and the
/// Ethernet padding; `apply(to:)` writes them into the packet.
///
/// Limits that end a walk over hostile or broken analyzers: at most `kMaxChainLength`
/// analyzers; a step whose header would take the header sum past `kMaxAllProtoSize` is not
/// taken; a step that neither explains bytes nor moves the payload window ends the walk when it
/// repeats the protocol name it was reached by, or when `kMaxStallSteps` such steps follow each
/// other.
///
/// The walk does not keep analyzers: it asks each class to show it a transient analyzer
/// (`QORPluginAnalyzerClass::inspect`) and records where each was made (`links()`), which is
/// what a packet stores. The analyzer objects (`getAnalyzers()`) are made again from those links
/// when first asked for.
///
/// Thread safety: one object per analysis run, used by one thread. The walk reads only the
/// plug-in lookup table (an immutable snapshot) and the packet it was given.
class CacheAnalyzer final : public NSObject {
public:
    static constexpr std::size_t kMaxChainLength = 64;
    static constexpr std::uint32_t kMaxAllProtoSize = 65535;
    static constexpr int kMaxStallSteps = 2;
    /// The largest Ethernet frame (without frame check sequence) that carries padding.
    static constexpr std::uint32_t kMinimumEthernetFrame = 60;
    static constexpr std::uint32_t kMaxPaddedFrameLength = 64;

    /// The optional arguments of the walk; absent values are taken from the packet.
    struct Options {
        std::optional<std::uint16_t> allProtoSize;
        /// Protocol names and texts many packets share are interned; a null handle is "absent".
        InternedString packetProtocol;
        std::optional<std::string> packetInfoOverview;
        std::optional<std::int32_t> packetIPVersion;
        std::optional<std::uint32_t> packetLengthUnified;
        InternedString packetProtocolHistory;
        InternedString packetLinkTypeString;
        std::optional<std::string> sourceIPAddress;
        std::optional<std::string> destinationIPAddress;
        /// The lookup table to read; the one in force when absent.
        std::shared_ptr<const PluginLookupTable> table;
        /// Where the walk notes what a listing shows (nothing when absent).
        std::optional<std::reference_wrapper<ListingSighting>> sighting;
        /// Where the walk lists what each analyzer of the chain announces as carried after it
        /// (`nextProtocol()`), one entry per link in chain order, the null handle where it names
        /// none (nothing when absent). Emptied when the walk starts; the caller reuses the list.
        std::optional<std::reference_wrapper<std::vector<InternedString>>> announcedProtocols;
        /// The walk ends once it has taken a header of this protocol (as the history names it),
        /// for a caller that needs nothing after that layer; the chain and history then end
        /// there. The null handle (the default) walks to the end.
        InternedString stopAfter;
        /// Shown each analyzer the chain takes (nothing when null).
        LayerObserver* layerObserver = nullptr;
        /// The packet carries no analysis of its own (a scratch record reused for many walks):
        /// the fields not given above start empty instead of being read from it.
        bool unanalysedPacket = false;
    };

    /// The first link of every walk's chain: the built-in packet analyzer, made from no bytes.
    [[nodiscard]] static ChainLink headLink();

    /// Stores the arguments and runs the walk (the options are moved from, not copied: the
    /// analysis of every packet passes them).
    CacheAnalyzer(PacketRef packet, std::optional<std::filesystem::path> fileURL, AnalyzerChain analyzers, Data packetData,
                  std::uint16_t payloadSize, Options&& options);
    /// The same with every option left as it is by default.
    CacheAnalyzer(PacketRef packet, std::optional<std::filesystem::path> fileURL, AnalyzerChain analyzers, Data packetData,
                  std::uint16_t payloadSize);

    /// The walk. Throws `APIErrorException(missingData)` when there is no payload.
    AnalyzerChain processAnalyzers();
    /// The chain's analyzers, made from the links on first use (or as `appendAnalyzers` set them).
    [[nodiscard]] const AnalyzerChain& getAnalyzers() const;
    /// Where each analyzer of the chain was made, in order (empty when the walk failed).
    [[nodiscard]] const CompactAnalyzerChain& links() const { return links_; }
    /// Moves the links out (for a packet that stores them).
    [[nodiscard]] CompactAnalyzerChain takeLinks() { return std::move(links_); }
    /// Replaces the chain.
    void appendAnalyzers(AnalyzerChain list) {
        analyzers_ = std::move(list);
        analyzersMade_ = true;
    }
    /// Copies protocol, history, IP version, padding, summary and (when found) addresses into
    /// the packet.
    void apply(QORPacket& packet) const;

    [[nodiscard]] std::optional<std::string> packetProtocol() const { return packetProtocol_.value(); }
    [[nodiscard]] std::optional<std::string> packetProtocolHistory() const { return packetProtocolHistory_.value(); }
    /// The history as interned text (the null handle for none), without copying it.
    [[nodiscard]] InternedString packetProtocolHistoryInterned() const { return packetProtocolHistory_; }
    /// The innermost protocol's name, as `apply` stores it.
    [[nodiscard]] InternedString packetProtocolInterned() const { return packetProtocol_; }
    /// The summary line `apply` stores (the one the packet had; the walk sets none).
    [[nodiscard]] const std::optional<std::string>& packetInfoOverviewText() const { return packetInfoOverview_; }
    [[nodiscard]] std::optional<std::int32_t> packetIPVersion() const { return packetIPVersion_; }
    [[nodiscard]] std::optional<std::uint32_t> packetPadding() const { return packetPadding_; }
    /// The addresses of the first IP header that set them (texts as its analyzer renders them),
    /// or the ones given; rendered when asked for.
    [[nodiscard]] std::optional<std::string> sourceIPAddress() const;
    [[nodiscard]] std::optional<std::string> destinationIPAddress() const;
    /// Both, empty text for none, rendered from one analyzer of the IP header (or remembered
    /// from the last time this thread rendered the same addresses of the same class).
    [[nodiscard]] std::pair<std::string, std::string> ipAddresses() const;
    /// The position plus one in `links()` of the IP header whose addresses the walk took (0: none).
    [[nodiscard]] std::uint8_t addressLink() const { return addressLink_; }
    /// The address text an IP analyzer renders for its header (`link`, within the packet's
    /// `bytes`): "ip4SrcAddr"/"ip4DstAddr" over the 4 bytes at 12/16 for IPv4 (`family` 2),
    /// "ip6SrcAddr"/"ip6DstAddr" over the 16 bytes at 8/24 for IPv6 (30); empty text when the
    /// value is absent or not text.
    static std::string addressText(const ChainLink& link, std::int32_t family, bool source, const Data& bytes,
                                   const PacketRef& packet);
    /// `addressText` of the source and of the destination together, from one analyzer.
    static std::pair<std::string, std::string> addressTexts(const ChainLink& link, std::int32_t family, const Data& bytes,
                                                            const PacketRef& packet);
    /// The bytes those texts are rendered from: the source address followed by the destination
    /// address, within the header of `link`; nothing when the header does not hold them all.
    static std::optional<std::span<const std::byte>> addressBytes(const ChainLink& link, std::int32_t family, const Data& bytes);
    [[nodiscard]] std::uint16_t allProtoSize() const { return allProtoSize_; }
    [[nodiscard]] std::int64_t payloadOffset() const { return payloadOffset_; }
    [[nodiscard]] std::uint16_t payloadSize() const { return payloadSize_; }
    [[nodiscard]] std::string_view className() const override { return "CacheAnalyzer"; }

private:
    /// One protocol step for `next`; gives the next name, or nothing when the chain ends.
    InternedString protocolStep(InternedString next, const PluginLookupTable& table, InternedString& history);
    void updateProtocol(InternedString analyzerName, InternedString lookupName);
    [[nodiscard]] Data payload() const;

    PacketRef packet_;
    std::optional<std::filesystem::path> fileURL_;
    /// Builds the chain's links (what `processAnalyzers` does, without making the analyzers).
    void walkChain();

    CompactAnalyzerChain links_;
    /// The analyzers made from `links_` on first request.
    mutable AnalyzerChain analyzers_;
    mutable bool analyzersMade_ = false;
    Data packetData_;
    std::int64_t payloadOffset_ = 0;
    std::uint16_t payloadSize_ = 0;
    std::optional<std::string> packetInfoOverview_;
    std::uint16_t allProtoSize_ = 0;
    InternedString packetProtocol_;
    InternedString packetProtocolHistory_;
    std::uint32_t packetLengthUnified_ = 0;
    InternedString packetLinkTypeString_;
    std::optional<std::string> sourceIPAddress_;
    std::optional<std::string> destinationIPAddress_;
    std::optional<std::int32_t> packetIPVersion_;
    std::uint8_t addressLink_ = 0;
    std::optional<std::uint32_t> packetPadding_;
    std::shared_ptr<const PluginLookupTable> table_;
    ListingSighting* sighting_ = nullptr;
    LayerObserver* observer_ = nullptr;
    std::vector<InternedString>* announced_ = nullptr;
    InternedString stopAfter_;
    /// Appends `link`, which announced `next` after it.
    void appendLink(const ChainLink& link, InternedString next) {
        links_.push_back(link);
        if (announced_) announced_->push_back(next);
    }
    /// Notes the listing texts of `analyzer`, the analyzer of the link about to be appended at
    /// `headerOffset` bytes into the packet, which names `next` after it and answers the address
    /// pairs `addressRoles` (`PluginLookupTable::AddressRole`).
    /// Inline: most links answer no addresses and name a protocol after them, and the walk sees
    /// every link of every packet.
    void sight(const QORPluginAnalyzerProtocol& analyzer, std::uint8_t addressRoles, std::uint16_t headerOffset, InternedString next) {
        if (addressRoles) noteAddresses(analyzer, addressRoles, headerOffset);
        if (!next.hasValue()) noteSummary(analyzer, headerOffset);
    }
    /// Notes the summary line of `analyzer`, the chain's last link.
    void noteSummary(const QORPluginAnalyzerProtocol& analyzer, std::uint16_t headerOffset);
    /// Notes the addresses of the pairs `addressRoles` that no earlier link answered.
    void noteAddresses(const QORPluginAnalyzerProtocol& analyzer, std::uint8_t addressRoles, std::uint16_t headerOffset);
};

}  // namespace qor
