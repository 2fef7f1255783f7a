#include "QORModels/streams/PacketSnapshot.hpp"

#include "QORModels/packets/CaptureRecord.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor {

std::optional<PacketSnapshot> PacketSnapshot::of(const QORPacket& packet, SharedPath* sharedPath) {
    auto cache = packet.dataCache();  // read under the packet's own lock
    if (!cache || !packet.hasFilePath()) return std::nullopt;
    PacketSnapshot snapshot;
    // The packets of one file share its number: the path is copied once per file, not per packet.
    const std::int64_t fileNumber = packet.systemFileNumber();
    if (sharedPath && sharedPath->path && fileNumber != 0 && fileNumber == sharedPath->systemFileNumber) {
        snapshot.fileURL = sharedPath->path;
    } else {
        auto path = packet.filePath();
        if (!path) return std::nullopt;
        if (sharedPath && sharedPath->path && *sharedPath->path == *path) {
            snapshot.fileURL = sharedPath->path;
        } else {
            snapshot.fileURL = std::make_shared<const std::filesystem::path>(std::move(*path));
            if (sharedPath) *sharedPath = SharedPath{snapshot.fileURL, fileNumber};
        }
    }
    snapshot.packetId = packet.packetId();
    snapshot.dateReceived = packet.dateReceived();
    snapshot.dataLocation = packet.dataLocation();
    snapshot.captureLength = packet.captureLength();
    snapshot.realLength = packet.realLength();
    snapshot.linkType = packet.linkType();
    snapshot.linkTypeString = packet.packetLinkTypeName();
    snapshot.dataCache = std::move(cache);
    return snapshot;
}

PacketSnapshot PacketSnapshot::of(const CaptureRecord& record, std::shared_ptr<const std::filesystem::path> fileURL,
                                  std::shared_ptr<QORDataCachingProtocol> dataCache) {
    return PacketSnapshot{record.packetId,     record.dateReceived, record.dataLocation,  record.captureLength, record.realLength,
                          record.linkName,     record.linkType,     std::move(fileURL), std::move(dataCache)};
}

std::optional<Data> PacketSnapshot::bytes() const {
    if (!dataCache) return std::nullopt;
    const std::uint64_t end = std::uint64_t{dataLocation} + captureLength;
    if (end > UINT32_MAX) return std::nullopt;
    return dataCache->object(UInt32Range{dataLocation, static_cast<std::uint32_t>(end)});
}

void PacketSnapshot::prefetch() const noexcept {
    const std::uint64_t end = std::uint64_t{dataLocation} + captureLength;
    if (dataCache && end <= UINT32_MAX) dataCache->prefetch(UInt32Range{dataLocation, static_cast<std::uint32_t>(end)});
}

}  // namespace qor
