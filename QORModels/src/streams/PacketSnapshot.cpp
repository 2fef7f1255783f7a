#include "QORModels/streams/PacketSnapshot.hpp"

#include "QORModels/packets/QORPacket.hpp"

namespace qor {

std::optional<PacketSnapshot> PacketSnapshot::of(const QORPacket& packet,
                                                 std::shared_ptr<const std::filesystem::path>* sharedPath) {
    auto cache = packet.dataCache();  // read under the packet's own lock
    if (!cache) return std::nullopt;
    auto path = packet.filePath();
    if (!path) return std::nullopt;
    PacketSnapshot snapshot;
    snapshot.packetId = packet.packetId();
    snapshot.dateReceived = packet.dateReceived();
    snapshot.dataLocation = packet.dataLocation();
    snapshot.captureLength = packet.captureLength();
    snapshot.realLength = packet.realLength();
    snapshot.linkType = packet.linkType();
    snapshot.linkTypeString = packet.packetLinkTypeName();
    if (sharedPath) {
        if (!*sharedPath || **sharedPath != *path) *sharedPath = std::make_shared<const std::filesystem::path>(std::move(*path));
        snapshot.fileURL = *sharedPath;
    } else {
        snapshot.fileURL = std::make_shared<const std::filesystem::path>(std::move(*path));
    }
    snapshot.dataCache = std::move(cache);
    return snapshot;
}

std::optional<Data> PacketSnapshot::bytes() const {
    if (!dataCache) return std::nullopt;
    const std::uint64_t end = std::uint64_t{dataLocation} + captureLength;
    if (end > UINT32_MAX) return std::nullopt;
    return dataCache->object(UInt32Range{dataLocation, static_cast<std::uint32_t>(end)});
}

}  // namespace qor
