#include "QORPlatform/KeyReader.hpp"

#include <array>
#include <atomic>
#include <mutex>

#include "QORPlatform/NSObject.hpp"

namespace qor {

KeyReader::~KeyReader() = default;

namespace {

/// Resolvers by type: slots are filled in order under the lock and never emptied, so readers
/// scan the filled ones without it.
struct ResolverTable {
    struct Slot {
        std::atomic<const std::type_info*> type{nullptr};
        std::atomic<KeyReaderResolver> resolver{nullptr};
    };
    std::mutex lock;
    std::atomic<std::size_t> filled{0};
    std::array<Slot, KeyReaders::kCapacity> slots;
};

ResolverTable& resolvers() {
    static auto* table = new ResolverTable();  // resolvers are registered while libraries load and never dropped
    return *table;
}

}  // namespace

bool KeyReaders::registerResolver(const std::type_info& type, KeyReaderResolver resolver) {
    auto& table = resolvers();
    std::lock_guard guard(table.lock);
    const std::size_t filled = table.filled.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < filled; ++i) {
        if (*table.slots[i].type.load(std::memory_order_relaxed) == type) {
            table.slots[i].resolver.store(resolver, std::memory_order_release);
            return true;
        }
    }
    if (filled == kCapacity) return false;
    table.slots[filled].resolver.store(resolver, std::memory_order_relaxed);
    table.slots[filled].type.store(&type, std::memory_order_relaxed);
    table.filled.store(filled + 1, std::memory_order_release);
    return true;
}

std::shared_ptr<const KeyReader> KeyReaders::resolve(const NSObject& object, std::string_view key) {
    auto& table = resolvers();
    const std::type_info& type = typeid(object);
    const std::size_t filled = table.filled.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < filled; ++i) {
        if (*table.slots[i].type.load(std::memory_order_relaxed) != type) continue;
        const KeyReaderResolver resolver = table.slots[i].resolver.load(std::memory_order_acquire);
        return resolver ? resolver(object, key) : nullptr;
    }
    return nullptr;
}

}  // namespace qor
