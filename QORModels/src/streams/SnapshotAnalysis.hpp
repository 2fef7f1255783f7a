#pragma once
// Analysing a packet snapshot again, away from the document's packet, to find one layer in it.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "QORModels/analysis/CacheAnalyzer.hpp"
#include "QORModels/analysis/CompactAnalyzerChain.hpp"
#include "QORModels/streams/PacketSnapshot.hpp"

namespace qor {

class QORPacket;

/// A layer that the analysis of a snapshot found: where its header starts in the packet's bytes
/// and what the analysis said about the packet.
struct AnalysedLayer {
    Data bytes;                  ///< the packet's captured bytes (the data cache's storage, not a copy)
    std::size_t offset = 0;      ///< the layer's header offset: the header sizes of the analyzers before it
    /// The offset of the layer just before it (its header size subtracted), when it has one and
    /// that does not come out negative.
    std::optional<std::size_t> previousOffset;
    /// The addresses of the IP header just before the layer, or else the analysis' addresses;
    /// empty text when there are none.
    std::string sourceIP, destinationIP;
    std::string_view lastLayerName;        ///< the history's last layer name
    ChainLink lastLink;                    ///< the chain's last analyzer
};

/// Runs the packet analysis pipeline over snapshots: a packet record made from the snapshot's
/// fields and a `CacheAnalyzer` walk over its bytes, as the packet's own analysis does, read
/// back without touching any document object. One analyser per thread: it reuses one scratch
/// packet record (which no walk writes to) for the snapshots it is given.
class SnapshotAnalyser {
public:
    SnapshotAnalyser();
    ~SnapshotAnalyser();
    SnapshotAnalyser(const SnapshotAnalyser&) = delete;
    SnapshotAnalyser& operator=(const SnapshotAnalyser&) = delete;

    /// The first layer of the protocol history named `layerName` (the history split at "-";
    /// layer i is analyzed by the chain's analyzer i + 1, after the built-in packet analyzer).
    /// Nothing when the snapshot has fewer than `minimumBytes` bytes, no history, no such layer
    /// or no analyzer for it, or when the layer comes after an ICMP or ICMPv6 message (an error
    /// quoting the datagram that caused it). With `stopAtLayer` the walk ends at the layer, for a
    /// caller that needs nothing after it: the layer is then the history's last
    /// (`lastLayerName`, `lastLink`).
    std::optional<AnalysedLayer> find(const PacketSnapshot& snapshot, std::string_view layerName, std::size_t minimumBytes,
                                      bool stopAtLayer = false);

    /// What one walk over a snapshot's chain found: what each analyzer announces as carried after
    /// it (`nextProtocol()`, in chain order, the null handle where it names none; the built-in
    /// packet analyzer that starts the chain names none) and the protocol history (the null
    /// handle for none). The list belongs to the analyser and holds until its next use.
    struct Announcements {
        const std::vector<InternedString>& nextProtocols;
        InternedString history;
        std::span<const std::byte> bytes;  ///< the packet's captured bytes, in the snapshot's cache
    };
    /// The walk over `snapshot`'s bytes; nothing when it has fewer than `minimumBytes` bytes
    /// (or none).
    std::optional<Announcements> announcements(const PacketSnapshot& snapshot, std::size_t minimumBytes);

    /// What the chain's last analyzer of `layer` says about `data` (`protocolInfo(_:)`); `layer`
    /// is the last one `find` gave (the analyzer is made for that packet).
    std::optional<std::string> lastLayerInfo(const AnalysedLayer& layer, const Data& data);

private:
    /// The analyzer walk over `view` (the snapshot's bytes) with the scratch packet given the
    /// snapshot's fields; `announce` has it fill `announced_`; it ends after a layer named
    /// `stopAfter` unless that is the null handle.
    CacheAnalyzer walk(const PacketSnapshot& snapshot, const Data& view, bool announce, InternedString stopAfter = {});

    std::shared_ptr<QORPacket> scratch_;
    std::vector<InternedString> announced_;
    /// The last layer name a walk was asked to stop at, interned once.
    std::string stopText_;
    InternedString stopName_;
};

}  // namespace qor
