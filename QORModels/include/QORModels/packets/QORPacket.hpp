#pragma once
// The packet record: one captured packet, everywhere in the library.

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QORDependencies/Caching.hpp"
#include "QORDependencies/QORPacketProtocol.hpp"
#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORModels/analysis/CompactAnalyzerChain.hpp"
#include "QORPlatform/InternedString.hpp"
#include "QORPlatform/UnfairLock.hpp"

namespace qor {

class QORAnalyzerCache;
struct CaptureRecord;
struct ListingSighting;
class CacheAnalyzer;
class PacketArena;
class UserDefaults;

/// A captured packet: where its bytes lie in their capture file (not the bytes), the capture
/// header values, and what analysis found. Everything else (addresses, summary line, detail
/// tree, dumps) is computed on demand from the bytes and the packet's analyzer chain; the chain
/// and the detail tree are cached on the packet.
///
/// Memory: a packet costs about 200 bytes. Fields that few packets have (comment, link-layer
/// addresses set by a creator) and the texts analysis stores live in side records allocated on
/// first use; protocol names and histories are interned; the file path and file number are
/// shared by every packet of a file; the analyzer chain of a kept analysis is stored in the
/// packet, and the analyzer cache object is created only when asked for.
///
/// Thread safety: readers set the header values before they hand a packet out; after that the
/// packet may be read from any thread. The fields analysis writes (protocol, history, IP
/// version, padding, addresses, summary) and the data-cache slot are guarded by the packet's own
/// lock, held only to copy or swap. The detail tree is meant for the main thread.
///
/// Observing (see `NSObject`): the setters of what analysis writes and what a user sets announce
/// real changes under their key ("packetProtocol", "packetProtocolHistory", "packetIPVersion",
/// "packetPadding", "packetComment", "_packetEtherSrc", "_packetEtherDst"; the addresses also as
/// "packetIPSourceAddress"/"packetIPDestinationAddress" and the stored summary also as
/// "packetInfoOverview"), so analysis, which writes them through `CacheAnalyzer::apply`, tells
/// the observers of an analysed packet. Observers are called on the analysing thread. The header
/// values readers set before handing a packet out are not announced.
class QORPacket final : public QORPacketProtocol {
    struct Passkey {};

public:
    /// The designated initialiser. A null `cacheManager` means "create one on first use".
    static std::shared_ptr<QORPacket> create(std::shared_ptr<QORAnalyzerCache> cacheManager, std::uint32_t packetPadding,
                                             std::int64_t packetId, std::uint32_t dataLocation,
                                             std::uint32_t packetLengthCaptured, std::uint32_t packetLengthReal,
                                             double packetDateReceived, double packetDateReference,
                                             std::uint32_t packetLinkType, std::optional<std::string> packetProtocol,
                                             std::optional<std::string> packetProtocolHistory, std::int32_t packetIPVersion,
                                             double _packetTime, std::optional<std::string> _packetEtherSrc,
                                             std::optional<std::string> _packetEtherDst, std::string _packetIPSrc,
                                             std::string _packetIPDst, std::optional<NodeList> packetNodes);
    /// A packet as the readers start one: zeros, no texts, `_packetTime` 0.
    static std::shared_ptr<QORPacket> create();
    /// The same, with its memory taken from a reader's arena.
    static std::shared_ptr<QORPacket> create(PacketArena* arena);
    /// The packet of a capture file's record (heap-made, or carved from `arena` when given): its
    /// id, the place and lengths of its bytes, link type, time with the first packet's as
    /// reference, the link type's name as protocol and history, and for pcapng its interface,
    /// comment and flags. No data cache or file source: the reader's caller sets those.
    static std::shared_ptr<QORPacket> fromRecord(const CaptureRecord& record, PacketArena* arena = nullptr);

    /// The bytes of each packet record that hold the chain of a kept analysis (see `chain_`).
    static constexpr std::size_t kStoredChainBytes = (CompactAnalyzerChain::kInline - 1) * sizeof(ChainLink) + sizeof(std::uint32_t) + 1;

    explicit QORPacket(Passkey);
    ~QORPacket() override;

    // --- Stored fields -------------------------------------------------------------------
    /// The packet's analyzer store (created on first use).
    [[nodiscard]] std::shared_ptr<QORAnalyzerCache> cacheManager() const;
    [[nodiscard]] std::uint32_t packetPadding() const;
    void setPacketPadding(std::uint32_t v);
    [[nodiscard]] std::shared_ptr<QORDataCachingProtocol> dataCache() const;
    void setDataCache(std::shared_ptr<QORDataCachingProtocol> cache);

    [[nodiscard]] std::int64_t packetId() const override { return packetId_; }
    void setPacketId(std::int64_t v) { packetId_ = v; }
    [[nodiscard]] std::uint32_t dataLocation() const override { return dataLocation_; }
    void setDataLocation(std::uint32_t v) { dataLocation_ = v; }
    [[nodiscard]] std::uint32_t captureLength() const override { return captureLength_; }
    void setCaptureLength(std::uint32_t v) { captureLength_ = v; }
    [[nodiscard]] std::uint32_t realLength() const override { return realLength_; }
    void setRealLength(std::uint32_t v) { realLength_ = v; }
    [[nodiscard]] double dateReceived() const override { return dateReceived_; }
    void setDateReceived(double v) { dateReceived_ = v; }
    [[nodiscard]] double dateReference() const override { return dateReference_; }
    void setDateReference(double v) { dateReference_ = v; }
    [[nodiscard]] std::uint32_t linkType() const override { return linkType_; }
    void setLinkType(std::uint32_t v) { linkType_ = v; }

    [[nodiscard]] std::optional<std::string> packetProtocol() const override;
    void setPacketProtocol(const std::optional<std::string>& v);
    [[nodiscard]] std::optional<std::string> packetProtocolHistory() const override;
    void setPacketProtocolHistory(const std::optional<std::string>& v);
    /// Sets protocol and history to the same interned text (what readers do with the link name).
    void setPacketProtocolAndHistory(InternedString name);
    /// The same fields as interned text (null for absent), without copying it.
    [[nodiscard]] InternedString packetProtocolInterned() const;
    [[nodiscard]] InternedString packetProtocolHistoryInterned() const;
    void setPacketProtocol(InternedString v);
    void setPacketProtocolHistory(InternedString v);
    /// `packetLinkTypeString()` as interned text.
    [[nodiscard]] InternedString packetLinkTypeName() const override;

    [[nodiscard]] std::optional<std::string> packetComment() const override;
    void setPacketComment(std::optional<std::string> v);
    [[nodiscard]] std::optional<std::int64_t> pcapngInterfaceIndex() const override;
    void setPcapngInterfaceIndex(std::optional<std::int64_t> v);
    [[nodiscard]] std::optional<std::string> pcapngInterfaceName() const override { return pcapngInterfaceName_.value(); }
    void setPcapngInterfaceName(const std::optional<std::string>& v) { pcapngInterfaceName_ = InternedString::from(v); }
    void setPcapngInterfaceName(InternedString v) { pcapngInterfaceName_ = v; }
    [[nodiscard]] std::optional<std::uint32_t> pcapngPacketFlags() const override;
    void setPcapngPacketFlags(std::optional<std::uint32_t> v);

    [[nodiscard]] std::int32_t packetIPVersion() const override;
    void setPacketIPVersion(std::int32_t v);
    [[nodiscard]] std::int64_t systemFileNumber() const;
    void setSystemFileNumber(std::int64_t v);
    [[nodiscard]] std::optional<std::filesystem::path> filePath() const;
    void setFilePath(std::optional<std::filesystem::path> v);
    /// Sets file path and file number together, sharing one record among many packets.
    struct FileSource {
        std::filesystem::path path;
        std::int64_t systemFileNumber = 0;
    };
    void setFileSource(std::shared_ptr<const FileSource> source);
    [[nodiscard]] bool hasFilePath() const;

    [[nodiscard]] std::optional<double> _packetTime() const;
    void set_packetTime(std::optional<double> v);
    [[nodiscard]] std::optional<std::string> _packetEtherSrc() const;
    [[nodiscard]] std::optional<std::string> _packetEtherDst() const;
    void set_packetEtherSrc(std::optional<std::string> v);
    void set_packetEtherDst(std::optional<std::string> v);
    [[nodiscard]] std::string _packetIPSrc() const;
    [[nodiscard]] std::string _packetIPDst() const;
    /// Setting either address text replaces what analysis noted (see `setAnalysedAddressLink`).
    void set_packetIPSrc(std::string v);
    void set_packetIPDst(std::string v);
    /// What analysis stores for the addresses: the position plus one, in the packet's chain, of
    /// the IP header they come from. `_packetIPSrc`/`_packetIPDst` then render them from that
    /// header when asked (as its analyzer renders them), instead of every analysed packet
    /// carrying two texts.
    void setAnalysedAddressLink(std::uint8_t link);
    [[nodiscard]] std::string _packetInfoOverview() const override;
    void set_packetInfoOverview(std::string v);
    /// What one walk of the packet's analysis found.
    struct AnalysedFields {
        InternedString protocol;
        InternedString history;
        std::int32_t ipVersion = 0;
        std::uint32_t padding = 0;
        std::string infoOverview;
        std::uint8_t addressLink = 0;  ///< see `setAnalysedAddressLink`; 0 leaves the addresses as they are
    };
    /// Writes a walk's findings as the setters of each field would, one after the other, but
    /// under one lock when nobody observes the packet (every packet of a listing).
    void setAnalysedFields(AnalysedFields fields);
    [[nodiscard]] std::optional<NodeList> packetNodes() const;
    void setPacketNodes(std::optional<NodeList> v);

    // --- Raw data -----------------------------------------------------------------------
    /// The captured bytes, looked up in the data cache under exactly
    /// `dataLocation ..< dataLocation + captureLength`; nothing without a cache or entry.
    [[nodiscard]] std::optional<Data> data() const override;
    /// The bytes the data cache stores for the packet's range, without the check `data` makes
    /// that a memory-mapped file still holds them (which touches their pages). For writers that
    /// copy the bytes through the file itself rather than the mapping (see CaptureOutputBuffer).
    [[nodiscard]] std::optional<Data> storedData() const;
    /// One upper-case two-digit hex string per byte.
    [[nodiscard]] std::vector<std::string> packetRawStringHex() const;
    /// One string per byte: its printable character ("." for others) blank-padded to width 2.
    [[nodiscard]] std::vector<std::string> packetRawStringASCII() const;
    /// The bytes as one text, as the character column of a dump shows them: printable ASCII
    /// characters as they are and "." for every other byte, so that a filter can look for text
    /// a packet carries (`packetRawString CONTAINS "GET /"`); empty without data.
    [[nodiscard]] std::string packetRawString() const;
    /// The bytes from the first analyzer named `name` to the end; nothing for the first analyzer
    /// of the chain, an unknown name, missing data or an offset past the data.
    [[nodiscard]] std::optional<Data> dataForProtocolName(std::string_view name) const;

    // --- Computed values ----------------------------------------------------------------------
    [[nodiscard]] double packetTime() const override;
    [[nodiscard]] std::uint32_t packetLengthUnified() const override;
    [[nodiscard]] std::optional<std::string> packetLinkTypeString() const override;
    [[nodiscard]] std::optional<std::string> packetEtherSrc() const override;
    [[nodiscard]] std::optional<std::string> packetEtherDst() const override;
    [[nodiscard]] std::optional<std::string> packetIPSourceAddress() const override;
    [[nodiscard]] std::optional<std::string> packetIPDestinationAddress() const override;
    [[nodiscard]] std::optional<std::string> packetSourceString() const override;
    [[nodiscard]] std::optional<std::string> packetDestinationString() const override;
    /// `packetSourceString()` and `packetDestinationString()` together, for a caller that shows
    /// both (the header that has them is looked at once).
    [[nodiscard]] std::pair<std::optional<std::string>, std::optional<std::string>> packetEndpointStrings() const;
    [[nodiscard]] std::string packetInfoOverview() const override;
    /// The packet's analyzers, made from its stored chain (analysing it first when needed);
    /// nothing when analysis found no chain. Each call makes new analyzer objects: callers that
    /// only need the packet analysed call `analyse()`.
    [[nodiscard]] std::optional<AnalyzerChain> cachedAnalyzers() const override;
    /// Analyses the packet unless its analysis is stored; whether it has a chain.
    bool analyse() const;
    /// The stored chain's links, analysing first when needed (empty when there is no chain).
    [[nodiscard]] CompactAnalyzerChain analysedLinks() const;
    /// A hint that the packet will be read soon: starts loading its analysis state and, with
    /// `bytes`, the start of its bytes into the processor's caches. Changes nothing; for a loop
    /// over many packets, called some packets ahead.
    void prefetch(bool bytes) const noexcept;

    /// The texts a packet listing shows: `packetInfoOverview()`, `packetEndpointStrings()` and
    /// the innermost protocol's name (`packetProtocol()` once the packet is analysed).
    struct ListingTexts {
        std::string summary;
        std::optional<std::string> source, destination;
        InternedString protocol;
    };
    /// Whether a listing keeps the analysis it runs.
    enum class ListingAnalysis {
        /// Stored as `analyse()` stores it: the packet answers every accessor from it afterwards.
        keep,
        /// Not stored: a packet not analysed before stays unanalysed, for a listing that lets
        /// each packet go once it has shown it (no chain, no analysed fields and no analyzer
        /// cache are made for it). The texts are the same as with `keep`.
        once,
    };
    /// `ListingTexts`, the same texts the accessors give. A packet not analysed yet is analysed
    /// here, and the texts are taken from the analyzers the analysis makes anyway, so a listing
    /// that analyses and shows each packet once makes every analyzer once; a packet analysed
    /// before answers through the accessors. With `ListingAnalysis::keep` nothing is stored
    /// beyond what `analyse()` stores; with `once`, nothing at all (a packet whose texts the walk
    /// alone cannot give, which is rare, is analysed and keeps its analysis).
    [[nodiscard]] ListingTexts listingTexts(ListingAnalysis analysis = ListingAnalysis::keep) const;
    /// Appends the chain to the analyzer store (nothing for none).
    void setCachedAnalyzers(const std::optional<AnalyzerChain>& analyzers);
    /// Rebuilds and returns the detail tree.
    [[nodiscard]] NodeList nodes() override;

    // --- Operations ---------------------------------------------------------------------------
    /// Empties the analyzer store and analyses again; nothing without a file path.
    void redissect();
    /// Drops the detail tree. Main thread only.
    void invalidateNodes();
    /// Builds the detail tree into `packetNodes`.
    void generatePacketNodes();

    /// Offset of `analyzer` in the packet: the sum of the header sizes before it, in 16 bits.
    [[nodiscard]] static std::optional<std::uint16_t> protocolOffset(const AnalyzerChain& chain, const QORPluginAnalyzerProtocol* analyzer);

    // --- Class operations ---------------------------------------------------------------------
    /// Rebuilds the process-wide plug-in lookup table from the controller in force. Main thread.
    static void snapshotPluginRegistry();
    static AnalyzerClassRef pluginAnalyzerClass(std::string_view protocolName);
    static std::optional<std::int64_t> pluginHeaderSize(std::string_view protocolName);
    /// "0x%08X", then " (inbound)" or " (outbound)" for direction bits 1 and 2.
    static std::string pcapngFlagsDescription(std::uint32_t flags);
    /// An analyzer chain for raw bytes, starting from the analyzer of `baseProtocol`.
    static AnalyzerChain analyzers(const Data& data, std::string_view baseProtocol, std::optional<std::uint32_t> etherType);
    /// The user defaults that name resolution reads (the standard ones unless replaced; tests
    /// use their own).
    static void setResolutionDefaults(UserDefaults* defaults);

    // --- Key-value access ---------------------------------------------------------------------
    [[nodiscard]] Value valueForKey(std::string_view key) const override;
    /// Plug-in attribute values and column bindings by key.
    [[nodiscard]] Value valueForUndefinedKey(std::string_view key) const override;
    [[nodiscard]] std::string_view className() const override { return "QORPacket"; }
    [[nodiscard]] std::string description() const override;

private:
    /// `analysedLinks()`, noting the listing texts in `sighting` when this call runs the walk.
    [[nodiscard]] CompactAnalyzerChain analysedLinks(ListingSighting* sighting, bool* walked) const;
    /// The walk of the packet's bytes `packetData` (which must outlive the result) from what the
    /// packet says of itself, storing nothing; noting the listing texts in `sighting`, if any.
    [[nodiscard]] CacheAnalyzer walk(PacketRef self, const Data& packetData, ListingSighting* sighting) const;
    /// The listing texts of a walk that is not kept; nothing when the walk alone cannot give them.
    [[nodiscard]] std::optional<ListingTexts> listingTextsOnce() const;

    struct Extras;     // rarely set fields
    Extras& extras();
    [[nodiscard]] std::optional<std::string> resolved(const std::string& address) const;
    /// The address text stored by a creator or a setter (not rendered from the chain).
    [[nodiscard]] std::string storedIPText(bool source) const;
    /// The address rendered from the header analysis noted, or the stored text.
    [[nodiscard]] std::string ipText(bool source) const;

    /// Whether the packet holds its analysis (its own links or a filled cache), without the
    /// packet's lock: a chain another thread is storing at that moment may not be seen yet.
    [[nodiscard]] bool analysisStored() const;
    /// Whether the packet holds links of its own that no clear notification has emptied, read
    /// without the lock (false while another thread is storing them).
    [[nodiscard]] bool ownLinksCurrent() const noexcept;
    /// The stored chain in `out`, if there is one (see `analysisStored`).
    bool storedLinks(CompactAnalyzerChain& out) const;
    /// Stores a walk's links unless a chain is stored already, and gives the chain stored
    /// afterwards; `ours` learns whether `links` was the one kept.
    CompactAnalyzerChain storeLinksIfEmpty(CompactAnalyzerChain links, bool& ours) const;
    /// Forgets the stored analysis.
    void clearStoredAnalysis();
    /// Under `lock_`: whether the packet holds a chain of its own, and that chain in `out` (when
    /// given); the chain is emptied first when a clear notification has been posted since it was
    /// stored.
    bool ownChainLocked(CompactAnalyzerChain* out) const;
    /// Under `lock_`: forgets the packet's own links.
    void dropOwnLinksLocked() const noexcept;
    /// The cache object, once made; read without the lock.
    [[nodiscard]] QORAnalyzerCache* cacheObject() const noexcept;
    /// `own()` under `lock_` while the packet has no cache object, else `cached(object)`
    /// without the lock: where the stored chain lives decides which runs.
    template <class Own, class Cached>
    decltype(auto) onChainStore(const Own& own, const Cached& cached) const;

    mutable UnfairLock lock_;
    std::uint8_t presence_ = 0;  // which optional scalars are set (bits below)
    std::uint8_t addressLink_ = 0;  // see setAnalysedAddressLink
    mutable std::uint8_t ownLinkCount_ = 0;  // links of the chain kept in `chain_`
    static constexpr std::uint8_t kHasInterfaceIndex = 1, kHasFlags = 2;
    std::uint32_t packetPadding_ = 0;
    std::int32_t packetIPVersion_ = 0;
    std::uint32_t dataLocation_ = 0;
    std::uint32_t captureLength_ = 0;
    std::uint32_t realLength_ = 0;
    std::uint32_t linkType_ = 0;
    std::uint32_t pcapngInterfaceIndex_ = 0;
    std::uint32_t pcapngPacketFlags_ = 0;
    /// Where the analysis chain is: `kNoOwnLinks`, `kHandedToCache` (the cache object exists
    /// and holds it, for good), or the packet's own links (`chain_`), stored when the clear
    /// notifications posted were this value minus 2 (modulo 2^32); a later notification empties
    /// them.
    mutable std::atomic<std::uint32_t> ownLinksState_{0};
    static constexpr std::uint32_t kNoOwnLinks = 0, kHandedToCache = 1;
    std::int64_t packetId_ = 0;
    double dateReceived_ = 0;
    double dateReference_ = 0;
    double packetTime_ = std::nan("");  // NaN: not set
    InternedString packetProtocol_;
    InternedString packetProtocolHistory_;
    InternedString pcapngInterfaceName_;
    std::shared_ptr<QORDataCachingProtocol> dataCache_;
    std::shared_ptr<const FileSource> source_;
    /// Until something asks for `cacheManager()`, the walk's chain after the built-in packet
    /// analyzer that starts every walk's chain (`links`): the common case, a packet analysed and
    /// kept, needs no cache object of its own, and `ownLinkCount_` counts the whole chain, the
    /// first link included. Afterwards (`ownLinksState_` is `kHandedToCache`), the cache object
    /// (`cache`), which took the chain over, in the same bytes; it is never replaced. Longer
    /// chains go to the cache object.
    union ChainStore {
        std::array<ChainLink, CompactAnalyzerChain::kInline - 1> links;
        std::shared_ptr<QORAnalyzerCache> cache;
        ChainStore() : links{} {}
        ~ChainStore() {}  // the packet ends the member in use
    };
    mutable ChainStore chain_;
    std::unique_ptr<Extras> extras_;

    /// The packet's analyzer cache, made on first use; lives as long as the packet.
    [[nodiscard]] QORAnalyzerCache& cache() const;
};

/// A strict weak ordering of packets: by `packetId`, then by arrival time. Use it wherever
/// packets are sorted.
struct PacketOrder {
    bool operator()(const QORPacket& a, const QORPacket& b) const {
        if (a.packetId() != b.packetId()) return a.packetId() < b.packetId();
        return a.dateReceived() < b.dateReceived();
    }
    bool operator()(const std::shared_ptr<QORPacket>& a, const std::shared_ptr<QORPacket>& b) const { return (*this)(*a, *b); }
};
inline bool operator<(const QORPacket& a, const QORPacket& b) { return PacketOrder{}(a, b); }

}  // namespace qor
