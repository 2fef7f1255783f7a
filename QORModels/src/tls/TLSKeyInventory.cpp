// Rows of the TLS keys view: sightings collapsed by client random and joined with key entries.

#include "QORModels/tls/TLSKeyInventory.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace qor {
namespace {

std::vector<TLSKeyMatch> matchesOf(const std::vector<KeylogEntry>* entries, const std::optional<std::string>& currentTrace) {
    std::vector<TLSKeyMatch> matches;
    if (!entries) return matches;
    for (const auto& entry : *entries) {
        auto match = std::find_if(matches.begin(), matches.end(), [&](const TLSKeyMatch& m) { return m.source == entry.source; });
        if (match == matches.end()) {
            const bool isCurrent = currentTrace && entry.source.kind() == KeylogSource::Kind::frozenTrace &&
                                   entry.source.detail() == *currentTrace;
            match = matches.insert(matches.end(), TLSKeyMatch{entry.source, isCurrent, {}, {}});
        }
        match->labels.push_back(entry.label);
        match->lines.push_back(entry.line);
    }
    return matches;
}

}  // namespace

std::size_t TLSKeyInventory::SightingPlacementHash::operator()(const SightingPlacement& p) const noexcept {
    return std::hash<std::string>{}(p.serverIP) ^ (std::size_t{p.serverPort} << 1) ^
           (std::hash<std::int64_t>{}(p.firstPacketId) << 17);
}

std::vector<TLSSessionKeyRow> TLSKeyInventory::rows(std::span<const PlacedSighting> sightings, const TLSKeyIndex& keyIndex,
                                                    const std::optional<std::string>& currentTraceFingerprint) {
    // Each client random keeps the sighting of its earliest stream, at its first appearance.
    std::vector<const PlacedSighting*> kept;
    std::unordered_map<std::string_view, std::size_t> slotOf;
    for (const auto& placed : sightings) {
        auto [it, inserted] = slotOf.try_emplace(placed.first.clientRandom.stringView(), kept.size());
        if (inserted)
            kept.push_back(&placed);
        else if (placed.second.firstPacketId < kept[it->second]->second.firstPacketId)
            kept[it->second] = &placed;
    }

    std::vector<TLSSessionKeyRow> rows;
    rows.reserve(kept.size());
    for (const auto* placed : kept) {
        const auto& [sighting, placement] = *placed;
        TLSSessionKeyRow row;
        row.clientRandom = sighting.clientRandom;
        row.serverName = sighting.serverName;
        row.alpnProtocols = sighting.alpnProtocols;
        row.offeredVersions = sighting.offeredVersions;
        row.serverAddress = placement.serverIP + ":" + std::to_string(placement.serverPort);
        row.firstPacketId = placement.firstPacketId;
        row.matches = matchesOf(keyIndex.entries(sighting.clientRandom.span()), currentTraceFingerprint);
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const TLSSessionKeyRow& a, const TLSSessionKeyRow& b) {
        const std::string_view nameA = a.serverName ? std::string_view(*a.serverName) : std::string_view();
        const std::string_view nameB = b.serverName ? std::string_view(*b.serverName) : std::string_view();
        if (nameA != nameB) return nameA < nameB;
        return a.serverAddress < b.serverAddress;
    });
    return rows;
}

}  // namespace qor
