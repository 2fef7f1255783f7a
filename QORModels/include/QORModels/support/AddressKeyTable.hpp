#pragma once
// A read-mostly map keyed by addresses, for lookups on every analysed layer.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "QORModels/support/BitMixing.hpp"

namespace qor {

/// A map from non-null addresses (interned names, class records) to values, filled once and then
/// only read: open addressing over a power-of-two table at most half full, the slot picked by the
/// high bits of the address after a full 64-bit mix (`mixBits`) and collisions resolved by the
/// next free slot. A lookup is two multiplies, a few shifts and, almost always, one compare in
/// one cache line: no division, no node to follow.
///
/// The mix, rather than a bare multiplication by the golden ratio, matters: keys allocated at a
/// fixed stride (interned names lie 144 bytes apart, and 144 is a Fibonacci number) land in a run
/// of neighbouring slots under Fibonacci hashing, and every lookup then walks the run.
///
/// Thread safety: none while it is filled; once filled any number of threads may read it.
template <class V>
class AddressKeyTable {
public:
    /// Sets the value of `key` (not null), replacing a value it had.
    void insertOrAssign(const void* key, V value) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        Slot& slot = slots_[probe(key)];
        if (slot.key == nullptr) {
            slot.key = key;
            ++count_;
        }
        slot.value = std::move(value);
    }

    /// The value of `key`, or null.
    [[nodiscard]] const V* find(const void* key) const noexcept {
        if (slots_.empty() || key == nullptr) return nullptr;
        const Slot& slot = slots_[probe(key)];
        return slot.key == key ? &slot.value : nullptr;
    }

    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] std::size_t size() const noexcept { return count_; }

private:
    struct Slot {
        const void* key = nullptr;
        V value{};
    };

    /// The slot that holds `key`, or the free slot where it would go (the table is never full).
    [[nodiscard]] std::size_t probe(const void* key) const noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = home(key);
        while (slots_[at].key != nullptr && slots_[at].key != key) at = (at + 1) & mask;
        return at;
    }

    [[nodiscard]] std::size_t home(const void* key) const noexcept {
        return static_cast<std::size_t>(mixBits(reinterpret_cast<std::uintptr_t>(key)) >> shift_);
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        const std::size_t size = old.empty() ? 16 : 2 * old.size();
        slots_.assign(size, Slot{});
        shift_ = 64;
        for (std::size_t n = size; n > 1; n >>= 1) --shift_;
        for (Slot& slot : old)
            if (slot.key != nullptr) slots_[probe(slot.key)] = std::move(slot);
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
    unsigned shift_ = 64;  ///< 64 minus the number of bits that index the table
};

}  // namespace qor
