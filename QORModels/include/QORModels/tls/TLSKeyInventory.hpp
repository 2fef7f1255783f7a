#pragma once
// Joining the TLS sessions seen in a document with the key material known for them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "QORModels/tls/TLSHandshakeSighting.hpp"
#include "QORModels/tls/TLSKeyIndex.hpp"
#include "QORModels/tls/TLSSessionKeyRow.hpp"

namespace qor {

/// Builds the rows of the TLS keys view. Stateless; pure functions of their arguments.
class TLSKeyInventory {
public:
    TLSKeyInventory() = delete;

    /// Where a ClientHello was seen: the server it went to and the first packet of its stream.
    struct SightingPlacement {
        std::string serverIP;
        std::uint16_t serverPort = 0;
        std::int64_t firstPacketId = 0;
        friend bool operator==(const SightingPlacement&, const SightingPlacement&) = default;
    };
    struct SightingPlacementHash {
        std::size_t operator()(const SightingPlacement& placement) const noexcept;
    };
    using PlacedSighting = std::pair<TLSHandshakeSighting, SightingPlacement>;

    /// One row per client random.
    ///
    /// Sightings of the same client random collapse into the one of the smallest
    /// `firstPacketId` (the earlier of equal ones); rows come in order of each client random's
    /// first appearance and are then sorted, stably, by server name (none counts as "") and then
    /// by server address, in plain text order. A row's matches are the index's entries for its
    /// client random grouped by source, one match per source in order of the source's first
    /// entry; a match is of the current trace when its source is `KeylogSource::frozenTrace`
    /// with `currentTraceFingerprint` (never when that is nothing). Rows have no decryption
    /// outcome.
    static std::vector<TLSSessionKeyRow> rows(std::span<const PlacedSighting> sightings, const TLSKeyIndex& keyIndex,
                                              const std::optional<std::string>& currentTraceFingerprint);
};

}  // namespace qor
