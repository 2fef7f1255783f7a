#pragma once
// The address texts of IP headers, remembered per thread.

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "QORModels/support/BitMixing.hpp"
#include "QORModels/analysis/CacheAnalyzer.hpp"

namespace qor {

/// The texts an IP header's analyzer gave for its two addresses, remembered by the analyzer's
/// class and the addresses' bytes: a text depends on nothing else (a class keeps its number for
/// the life of the process), and a capture's packets carry few distinct addresses, so most
/// packets are spared making the analyzer again and rendering. A fixed table of the most recent
/// pairs, one per thread: a pair that clashes with another simply replaces it.
class AddressTextMemo {
public:
    static constexpr std::size_t kLongestAddressPair = 32;  // two IPv6 addresses

    /// The texts of the addresses of the IP header of `link` in `bytes` (`family` as for
    /// `CacheAnalyzer::addressTexts`), rendered by `render` when not remembered.
    template <class Render>
    std::pair<std::string, std::string> texts(const ChainLink& link, std::int32_t family, const Data& bytes, const Render& render) {
        const auto addresses = CacheAnalyzer::addressBytes(link, family, bytes);
        if (!addresses || addresses->size() > kLongestAddressPair) return render();
        Entry probe;
        probe.classIndex = link.classIndex;
        probe.length = static_cast<std::uint8_t>(addresses->size());
        std::memcpy(probe.addresses.data(), addresses->data(), addresses->size());
        Entry& slot = table_[probe.hash() % kSlots];
        if (slot.sameKey(probe)) return slot.texts;
        probe.texts = render();
        slot = std::move(probe);
        return slot.texts;
    }

private:
    static constexpr std::size_t kSlots = 1024;
    struct Entry {
        std::uint16_t classIndex = 0;  // 0: an empty slot (no class has number 0)
        std::uint8_t length = 0;
        std::array<std::byte, kLongestAddressPair> addresses{};
        std::pair<std::string, std::string> texts;

        [[nodiscard]] bool sameKey(const Entry& other) const noexcept {
            return classIndex == other.classIndex && length == other.length &&
                   std::memcmp(addresses.data(), other.addresses.data(), length) == 0;
        }
        /// Every bit of the key reaches the low bits that pick a slot: each word is mixed in
        /// through a full avalanche (a product alone would carry a word's high bytes, an IPv4
        /// pair's last address byte among them, only upwards).
        [[nodiscard]] std::size_t hash() const noexcept {
            std::uint64_t h = mixBits(std::uint64_t{classIndex} << 8 | length);
            for (std::size_t i = 0; i < length; i += 8) {
                std::uint64_t word = 0;
                std::memcpy(&word, addresses.data() + i, std::min<std::size_t>(8, length - i));
                h = mixBits(h ^ word);
            }
            return static_cast<std::size_t>(h);
        }
    };
    std::array<Entry, kSlots> table_;
};

/// The calling thread's memo, made by the thread's first address. The table (about 100 KiB)
/// lives on the heap: a thread-local table would be part of the static thread-local block that
/// every thread of a process linking the library is given and clears when it starts, whether
/// or not it ever renders an address.
inline AddressTextMemo& addressTextMemo() {
    static thread_local std::unique_ptr<AddressTextMemo> memo;
    if (!memo) [[unlikely]]
        memo = std::make_unique<AddressTextMemo>();
    return *memo;
}
}  // namespace qor
