#include "QORModels/packets/MemoryCache.hpp"

#include <algorithm>
#include <mutex>

#include "QORPlatform/ThreadLocal.hpp"
#include "QORModels/support/BitMixing.hpp"

namespace qor {
namespace {
constexpr std::size_t npos = static_cast<std::size_t>(-1);
// Owners beyond this many are not deduplicated by search (each new owner is appended).
constexpr std::size_t kOwnerSearchLimit = 8;

std::uint64_t keyOf(UInt32Range r) { return (std::uint64_t{r.lowerBound} << 32) | r.upperBound; }

}  // namespace

std::size_t MemoryCache::home(std::uint64_t key) const {
    // Maps the hash onto [0, capacity) without a division (Lemire's multiply-shift).
    return static_cast<std::size_t>((static_cast<unsigned __int128>(mixBits(key)) * slots_.size()) >> 64);
}

std::size_t MemoryCache::find(std::uint64_t key) const {
    if (slots_.empty()) return npos;
    std::size_t i = home(key);
    for (;;) {
        const Slot& s = slots_[i];
        if (s.key == key) return i;
        if (s.key == kEmpty) return npos;
        if (++i == slots_.size()) i = 0;
    }
}

std::size_t MemoryCache::findSorted(std::uint64_t key) const {
    // Packets are mostly fetched in file order, each thread walking its own stretch of them: try
    // the entry after the one this thread found last before searching. The hint is per thread so
    // that threads neither share a line they all write nor spoil each other's guesses; a stale
    // hint is only a guess, checked against the key.
    struct Hint {
        const MemoryCache* cache = nullptr;
        std::size_t index = 0;
    };
    QOR_INITIAL_EXEC_TLS thread_local Hint hint;
    if (hint.cache == this) {
        for (std::size_t i : {hint.index + 1, hint.index}) {
            if (i >= sortedHead_ && i < sorted_.size() && sorted_[i].key == key) {
                hint.index = i;
                return i;
            }
        }
    }
    auto begin = sorted_.begin() + static_cast<std::ptrdiff_t>(sortedHead_);
    // Erased entries keep their key order by holding kEmpty only at the head (eviction takes the
    // first entry), so the live part of the run stays sorted.
    auto it = std::lower_bound(begin, sorted_.end(), key, [](const Slot& s, std::uint64_t k) { return s.key < k; });
    if (it == sorted_.end() || it->key != key) return npos;
    hint = Hint{this, static_cast<std::size_t>(it - sorted_.begin())};
    return hint.index;
}

std::uint32_t MemoryCache::ownerIndex(const std::shared_ptr<const void>& owner) {
    std::size_t n = owners_.size();
    for (std::size_t k = 0; k < n && k < kOwnerSearchLimit; ++k) {
        std::size_t i = n - 1 - k;  // the most recent owner first
        if (owners_[i] == owner) return static_cast<std::uint32_t>(i);
    }
    owners_.push_back(owner);
    return static_cast<std::uint32_t>(owners_.size() - 1);
}

void MemoryCache::rehash(std::size_t capacity) {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(capacity, Slot{kEmpty, nullptr, 0, 0});
    for (const Slot& s : old) {
        if (s.key == kEmpty) continue;
        std::size_t i = home(s.key);
        while (slots_[i].key != kEmpty) {
            if (++i == slots_.size()) i = 0;
        }
        slots_[i] = s;
    }
}

void MemoryCache::reserve(std::size_t count) {
    std::lock_guard guard(lock_);
    if (count > sorted_.capacity()) sorted_.reserve(count);
}

void MemoryCache::insert(std::uint64_t key, const Data& bytes) {
    std::uint32_t owner = ownerIndex(bytes.owner());
    Slot slot{key, bytes.data(), static_cast<std::uint32_t>(bytes.size()), owner};
    bool runIsLive = sortedHead_ < sorted_.size();
    if ((!runIsLive || sorted_.back().key < key) && find(key) == npos) {
        if (!runIsLive) {
            sorted_.clear();
            sortedHead_ = 0;
        }
        sorted_.push_back(slot);
        ++count_;
        return;
    }
    if (std::size_t i = findSorted(key); i != npos) {
        sorted_[i] = slot;
        return;
    }
    if ((count_ + 1) * 5 > slots_.size() * 4) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    std::size_t i = home(key);
    for (;;) {
        Slot& s = slots_[i];
        if (s.key == key) {
            s = slot;
            return;
        }
        if (s.key == kEmpty) {
            s = slot;
            ++count_;
            return;
        }
        if (++i == slots_.size()) i = 0;
    }
}

void MemoryCache::evictFirst() {
    if (sortedHead_ < sorted_.size()) {
        sorted_[sortedHead_] = Slot{kEmpty, nullptr, 0, 0};
        ++sortedHead_;
        --count_;
        return;
    }
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].key != kEmpty) {
            eraseAt(i);
            return;
        }
    }
}

void MemoryCache::eraseAt(std::size_t index) {
    // Backward-shift deletion keeps every probe chain intact without tombstones.
    std::size_t hole = index;
    std::size_t i = index;
    for (;;) {
        if (++i == slots_.size()) i = 0;
        if (slots_[i].key == kEmpty) break;
        std::size_t h = home(slots_[i].key);
        bool movable = (hole <= i) ? (h <= hole || h > i) : (h <= hole && h > i);
        if (movable) {
            slots_[hole] = slots_[i];
            hole = i;
        }
    }
    slots_[hole] = Slot{kEmpty, nullptr, 0, 0};
    --count_;
}

void MemoryCache::setCountLimit(std::int64_t limit) {
    std::lock_guard guard(lock_);
    countLimit_ = limit;
}

std::int64_t MemoryCache::countLimit() const {
    std::lock_guard guard(lock_);
    return countLimit_;
}

std::optional<Data> MemoryCache::getBytes(UInt32Range key) const {
    std::lock_guard guard(lock_);
    std::uint64_t k = keyOf(key);
    const Slot* s = nullptr;
    if (std::size_t i = findSorted(k); i != npos) s = &sorted_[i];
    else if (std::size_t j = find(k); j != npos) s = &slots_[j];
    if (!s) return std::nullopt;
    return Data::wrap(owners_[s->owner], std::span<const std::byte>(s->ptr, s->size));
}

void MemoryCache::setBytes(std::optional<Data> bytes, UInt32Range key) {
    if (!bytes) return;
    // Entries hold at most 4 GiB each (file ranges are 32-bit); a larger buffer is stored as a
    // private copy of its first 4 GiB only if ever asked, which no file range can describe.
    if (bytes->size() > UINT32_MAX) return;
    std::lock_guard guard(lock_);
    insert(keyOf(key), *bytes);
    if (countLimit_ >= 1 && count_ > static_cast<std::uint64_t>(countLimit_)) evictFirst();
}

bool MemoryCache::has(UInt32Range key) const {
    std::lock_guard guard(lock_);
    std::uint64_t k = keyOf(key);
    return findSorted(k) != npos || find(k) != npos;
}

void MemoryCache::clear() {
    std::lock_guard guard(lock_);
    std::vector<Slot>().swap(slots_);
    std::vector<Slot>().swap(sorted_);
    sortedHead_ = 0;
    std::vector<std::shared_ptr<const void>>().swap(owners_);
    count_ = 0;
}

std::size_t MemoryCache::entryCount() const {
    std::lock_guard guard(lock_);
    return count_;
}

}  // namespace qor
