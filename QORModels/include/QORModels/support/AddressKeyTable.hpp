#pragma once
// A read-mostly map keyed by addresses, for lookups on every analysed layer.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace qor {

/// A map from non-null addresses (interned names, class records) to values, filled once and then
/// only read: open addressing over a power-of-two table at most half full, the slot picked by
/// Fibonacci hashing of the address (its high product bits, so the alignment zeros of an address
/// do not matter) and collisions resolved by the next free slot. A lookup is a multiply, a shift
/// and, almost always, one compare in one cache line: no division, no node to follow.
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
        std::size_t at = static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
        while (slots_[at].key != nullptr && slots_[at].key != key) at = (at + 1) & mask;
        return at;
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
