#pragma once
// The in-memory byte store behind a capture file's packets.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "QORDependencies/Caching.hpp"
#include "QORPlatform/UnfairLock.hpp"

namespace qor {

/// Bytes by exact file range, with an optional limit on the number of entries.
///
/// Keys are exact: a lookup finds only the entry stored under the same lower and upper bound.
/// When the limit (`countLimit` ≥ 1) is exceeded after a store, one entry goes: the first in
/// the table's iteration order, chosen neither by age nor by use.
///
/// Entries are 24-byte slots: a slice of a buffer that the cache already holds (the usual case:
/// every packet of a file slices the one mapped file) costs its range, pointer and length and an
/// index into a short list of owners, so a million packets cost about 24 MB however large the
/// file. Keys that arrive in increasing order (a reader walking its file) are appended to a
/// sorted run and found by binary search, which keeps reading a file sequential in memory; keys
/// that arrive out of order go to an open-addressing table. Iteration order is the sorted run,
/// then the table. `reserve` sizes the run once when the caller knows (an upper bound of) how
/// many entries will come; untouched reserved memory costs nothing. Every operation holds the
/// cache's lock for its whole duration.
class MemoryCache final : public MemoryCachingProtocol {
public:
    MemoryCache() = default;

    void setCountLimit(std::int64_t limit) override;
    [[nodiscard]] std::int64_t countLimit() const;
    [[nodiscard]] std::optional<Data> getBytes(UInt32Range key) const override;
    void setBytes(std::optional<Data> bytes, UInt32Range key) override;
    [[nodiscard]] bool has(UInt32Range key) const override;
    void clear() override;
    [[nodiscard]] std::size_t entryCount() const override;
    /// Makes room for `count` entries without rehashing.
    void reserve(std::size_t count);

private:
    struct Slot {
        std::uint64_t key;          // lower << 32 | upper; kEmpty for a free slot
        const std::byte* ptr;
        std::uint32_t size;
        std::uint32_t owner;        // index into owners_
    };
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

    [[nodiscard]] std::size_t find(std::uint64_t key) const;  // table slot index or npos
    [[nodiscard]] std::size_t findSorted(std::uint64_t key) const;  // run index or npos
    void insert(std::uint64_t key, const Data& bytes);
    void eraseAt(std::size_t index);
    void evictFirst();
    void rehash(std::size_t capacity);
    std::uint32_t ownerIndex(const std::shared_ptr<const void>& owner);
    [[nodiscard]] std::size_t home(std::uint64_t key) const;

    mutable UnfairLock lock_;
    std::vector<Slot> sorted_;      // increasing keys; erased entries hold kEmpty
    std::size_t sortedHead_ = 0;    // first live entry of the run
    std::vector<Slot> slots_;       // out-of-order keys
    std::vector<std::shared_ptr<const void>> owners_;
    std::size_t count_ = 0;
    std::int64_t countLimit_ = 0;
};

}  // namespace qor
