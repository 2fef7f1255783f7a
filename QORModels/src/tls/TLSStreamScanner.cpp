// Scanning reassembled TCP streams for ClientHellos, on all cores.

#include "QORModels/tls/TLSStreamScanner.hpp"

#include "QORModels/support/ObservedParallelFor.hpp"
#include "QORModels/tls/TLSHandshakeScanner.hpp"
#include "QORPlatform/Task.hpp"

namespace qor {

std::vector<TLSKeyInventory::PlacedSighting> TLSStreamScanner::sightings(const TCPStream& stream) {
    const TCPStreamKey::Endpoint* server = &stream.serverEndpoint;
    auto found = TLSHandshakeScanner::sightings(stream.clientToServerData);
    if (found.empty()) {
        found = TLSHandshakeScanner::sightings(stream.serverToClientData);
        server = &stream.clientEndpoint;
    }
    std::vector<TLSKeyInventory::PlacedSighting> placed;
    placed.reserve(found.size());
    const std::int64_t firstPacketId = stream.segments.empty() ? 0 : stream.segments.front().id;
    for (auto& sighting : found)
        placed.emplace_back(std::move(sighting), TLSKeyInventory::SightingPlacement{server->ip, server->port, firstPacketId});
    return placed;
}

std::vector<TLSKeyInventory::PlacedSighting> TLSStreamScanner::sightings(std::span<const TCPStream> streams) {
    const auto cancelled = Task::currentCancellationFlag();
    std::vector<std::vector<TLSKeyInventory::PlacedSighting>> perStream(streams.size());
    observedParallelForEach(streams.size(), [&](std::size_t i) {
        if (!cancelled || !cancelled->load(std::memory_order_relaxed)) perStream[i] = sightings(streams[i]);
    });
    if (cancelled && cancelled->load()) return {};
    std::size_t count = 0;
    for (const auto& found : perStream) count += found.size();
    std::vector<TLSKeyInventory::PlacedSighting> all;
    all.reserve(count);
    for (auto& found : perStream)
        for (auto& placed : found) all.push_back(std::move(placed));
    return all;
}

}  // namespace qor
