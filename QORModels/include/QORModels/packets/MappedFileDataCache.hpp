#pragma once
// A packet byte source that answers any range of one mapped capture file, without entries.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "QORDependencies/Caching.hpp"
#include "QORPlatform/Data.hpp"

namespace qor {

/// Serves the bytes of any range inside one capture file's bytes (usually its read-only
/// mapping): the source of packets that are read, used and dropped in one pass, where a
/// `QORDataCache` would store one entry per packet for nothing.
///
/// A range past the end of the bytes, or one the file has lost since it was mapped (it was
/// truncated on disk: see `MappedFileGuard`), gives nothing. `set` and `clearCache` do nothing:
/// the bytes are the file's. The slices handed out keep the file's bytes alive through a holder
/// of the calling thread's own, so that threads analysing packets of one file at once do not
/// all count references on the file's one counter. Those holders belong to the cache: once the
/// cache and the slices are gone, nothing keeps the file mapped.
///
/// Thread safety: any thread may ask for bytes at any time.
class MappedFileDataCache final : public QORDataCachingProtocol {
public:
    explicit MappedFileDataCache(Data fileBytes);

    [[nodiscard]] std::shared_ptr<MemoryCachingProtocol> fileCache() const override { return nullptr; }
    [[nodiscard]] std::optional<Data> object(UInt32Range range) const override;
    void set(const Data&, UInt32Range) override {}
    void clearCache() override {}
    /// Starts loading the range's first two cache lines (where every header a filter reads
    /// begins) and the line the mapping's guard reads after them.
    void prefetch(UInt32Range range) const noexcept override;
    [[nodiscard]] const Data& fileBytes() const noexcept { return bytes_; }

private:
    Data bytes_;
    std::uint64_t id_;  // never reused, unlike an address
    mutable std::mutex holdersLock_;  // held only to add a thread's holder
    mutable std::vector<std::shared_ptr<const Data>> holders_;
};

}  // namespace qor
