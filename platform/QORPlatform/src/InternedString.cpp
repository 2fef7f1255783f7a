#include "QORPlatform/InternedString.hpp"

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <unordered_set>

#include "QORPlatform/ThreadLocal.hpp"

namespace qor {
namespace {
struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
std::shared_mutex poolMutex;
std::unordered_set<std::string, Hash, std::equal_to<>>& pool() {
    static auto* p = new std::unordered_set<std::string, Hash, std::equal_to<>>();
    return *p;
}
}  // namespace

const std::string* InternedString::intern(std::string_view text) {
    // The texts interned are mostly a handful of protocol names and histories, asked for millions
    // of times from several threads at once: a small table per thread in front of the shared pool
    // answers those without touching the pool's lock (whose reader count every thread would
    // otherwise write to).
    constexpr std::size_t kRecentSlots = 256;
    QOR_INITIAL_EXEC_TLS thread_local const std::string* recent[kRecentSlots] = {};
    const std::size_t hash = Hash{}(text);
    const std::string*& slot = recent[hash % kRecentSlots];
    if (slot && *slot == text) return slot;
    const std::string* found = nullptr;
    {
        std::shared_lock lock(poolMutex);
        if (auto it = pool().find(text); it != pool().end()) found = &*it;
    }
    if (!found) {
        std::unique_lock lock(poolMutex);
        found = &*pool().emplace(text).first;
    }
    slot = found;
    return found;
}

InternedString InternedString::joined(InternedString head, char separator, InternedString tail) {
    if (!head.hasValue()) return tail;
    if (!tail.hasValue()) return head;
    struct Join {
        const std::string* head = nullptr;
        const std::string* tail = nullptr;
        char separator = 0;
        const std::string* result = nullptr;
    };
    constexpr std::size_t kSlots = 512;
    QOR_INITIAL_EXEC_TLS thread_local Join recent[kSlots];
    const auto h = reinterpret_cast<std::uintptr_t>(head.text_) * 0x9E3779B97F4A7C15ull ^
                   reinterpret_cast<std::uintptr_t>(tail.text_) * 0xC2B2AE3D27D4EB4Full ^ static_cast<unsigned char>(separator);
    Join& slot = recent[(h >> 20) % kSlots];
    if (slot.head == head.text_ && slot.tail == tail.text_ && slot.separator == separator) {
        InternedString result;
        result.text_ = slot.result;
        return result;
    }
    std::string text;
    text.reserve(head.text_->size() + 1 + tail.text_->size());
    text += *head.text_;
    text += separator;
    text += *tail.text_;
    InternedString result(text);
    slot = Join{head.text_, tail.text_, separator, result.text_};
    return result;
}

}  // namespace qor
