#pragma once
// The byte source of one capture file's packets.

#include <filesystem>
#include <memory>
#include <optional>

#include "QORDependencies/Caching.hpp"
#include "QORModels/packets/MemoryCache.hpp"

namespace qor {

/// Maps a packet's file range to its bytes. One per open capture file (or live capture); the
/// readers fill it and every packet of the file points to it. Thread-safe (the inner cache
/// locks); adds no lock of its own.
///
/// The bytes are slices of the caller's buffer, usually the memory-mapped file. If that file
/// shrinks after it was read, `object` gives nothing for every range it no longer holds, and
/// exactly the file's bytes for the others: it touches the range's pages before it hands them
/// out (see `MappedFileGuard`). A truncation after that check leaves zeros in the bytes already
/// handed out, never a crash.
class QORDataCache final : public QORDataCachingProtocol {
public:
    /// A cache for `url`: no entry limit when `liveCapturing`, else at most as many entries as
    /// the file has bytes.
    QORDataCache(const std::filesystem::path& url, bool liveCapturing);
    /// A cache without a backing file and without a limit (for bytes built in memory).
    QORDataCache();

    [[nodiscard]] std::shared_ptr<MemoryCachingProtocol> fileCache() const override { return _fileCache; }
    [[nodiscard]] std::optional<Data> object(UInt32Range range) const override;
    /// The bytes stored under exactly `range`, without the check `object` makes that a mapped
    /// file still holds them (for callers that read them through the file, see
    /// `QORPacket::storedData`).
    [[nodiscard]] std::optional<Data> storedObject(UInt32Range range) const;
    void set(const Data& data, UInt32Range range) override;
    void clearCache() override;
    /// Makes room for `count` entries at once (readers that know the packet count call it).
    void reserve(std::size_t count);

private:
    std::shared_ptr<MemoryCache> _fileCache;
};

}  // namespace qor
