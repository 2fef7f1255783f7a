#pragma once
// A packet as plain values, for stream work away from the document's packet objects.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "QORDependencies/Caching.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/InternedString.hpp"

namespace qor {

class QORPacket;
struct CaptureRecord;

/// What stream reassembly needs of one packet: where its bytes lie and its capture header
/// values. A value that any task may hold and read; it refers to no packet object.
///
/// The link type's name is interned text and the file's path is shared by the snapshots of one
/// file, so a snapshot costs a few dozen bytes however many a document has.
struct PacketSnapshot {
    std::int64_t packetId = 0;
    double dateReceived = 0;
    std::uint32_t dataLocation = 0;
    std::uint32_t captureLength = 0;
    std::uint32_t realLength = 0;
    /// The link type's name as the protocol-strings cache gives it; the null handle for none.
    InternedString linkTypeString;
    std::uint32_t linkType = 0;
    std::shared_ptr<const std::filesystem::path> fileURL;
    std::shared_ptr<QORDataCachingProtocol> dataCache;

    /// The path of the last file snapshotted, shared by the snapshots of its packets.
    struct SharedPath {
        std::shared_ptr<const std::filesystem::path> path;
        std::int64_t systemFileNumber = 0;  ///< 0: unknown, the path is compared instead
    };
    /// The snapshot of `packet`, or nothing when it has no data cache or no file. `sharedPath`,
    /// when it holds the packet's file, gives its path (and otherwise takes the packet's), so
    /// that the packets of one file share one path, looked up once.
    static std::optional<PacketSnapshot> of(const QORPacket& packet, SharedPath* sharedPath = nullptr);
    /// The snapshot of the packet a capture record describes, in the file `fileURL` whose bytes
    /// `dataCache` holds (a pass that makes no packet objects).
    static PacketSnapshot of(const CaptureRecord& record, std::shared_ptr<const std::filesystem::path> fileURL,
                             std::shared_ptr<QORDataCachingProtocol> dataCache);

    /// The captured bytes, `dataLocation ..< dataLocation + captureLength` of the data cache;
    /// nothing without a cache, for a range past 2^32, or when the cache has no such entry.
    [[nodiscard]] std::optional<Data> bytes() const;
    /// Asks for the first of those bytes to be brought into the processor's cache, for a walk
    /// over many snapshots that will read them a few packets from now.
    void prefetch() const noexcept;
    /// How many snapshots ahead of the one it reads a walk asks for bytes: a packet's first
    /// bytes come from memory while the ones before it are analysed.
    static constexpr std::size_t kPrefetchDistance = 8;
};

}  // namespace qor
