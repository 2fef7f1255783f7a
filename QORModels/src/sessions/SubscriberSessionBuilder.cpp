// Classifying the packets of a trace on all cores, then grouping their events into sessions.

#include "QORModels/sessions/SubscriberSessionBuilder.hpp"

#include "../streams/SnapshotExtraction.hpp"

namespace qor {

std::vector<SubscriberSession> SubscriberSessionBuilder::buildSessions(std::size_t count, const PacketSource& source) {
    auto events = extractInBatches<RawSessionEvent, SessionClassifier>(
        count, {}, [&](SessionClassifier& classifier, std::size_t i) -> std::optional<RawSessionEvent> {
            auto packet = source(i);
            if (!packet) return std::nullopt;
            return classifier.classify(*packet);
        });
    if (!events) return {};
    return group(std::move(*events));
}

std::vector<SubscriberSession> SubscriberSessionBuilder::buildSessions(const std::vector<PacketSnapshot>& snapshots) {
    return buildSessions(snapshots.size(), [&](std::size_t i) -> std::optional<SessionPacket> {
        const PacketSnapshot& snapshot = snapshots[i];
        auto bytes = snapshot.bytes();
        if (!bytes) return std::nullopt;
        return SessionPacket{snapshot.packetId,  snapshot.dateReceived, snapshot.captureLength, snapshot.realLength,
                             snapshot.linkType,  snapshot.linkTypeString, std::move(*bytes)};
    });
}

}  // namespace qor
