// Indexing key-log entries by client random, and the process-wide current index.

#include "QORModels/tls/TLSKeyIndex.hpp"

#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/analysis/SharedSnapshot.hpp"

namespace qor {
namespace {

SharedSnapshot<TLSKeyIndex>& slot() {
    static SharedSnapshot<TLSKeyIndex> current(std::make_shared<const TLSKeyIndex>());
    return current;
}

}  // namespace

std::optional<std::string> TLSKeyIndex::clientRandomField(std::string_view line) {
    const std::string_view field = KeylogFields::of(line).clientRandom;
    if (field.size() != 2 * clientRandomLength) return std::nullopt;
    auto bytes = bytesFromHex(field);
    if (!bytes) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

bool TLSKeyIndex::add(KeylogEntry entry) {
    auto random = clientRandomField(entry.line);
    if (!random) return false;
    byClientRandom_[std::move(*random)].push_back(std::move(entry));
    return true;
}

const std::vector<KeylogEntry>* TLSKeyIndex::entries(std::span<const std::byte> clientRandom) const {
    if (clientRandom.size() != clientRandomLength) return nullptr;
    auto it = byClientRandom_.find(std::string(reinterpret_cast<const char*>(clientRandom.data()), clientRandom.size()));
    return it == byClientRandom_.end() ? nullptr : &it->second;
}

void TLSKeyIndex::publish(std::shared_ptr<const TLSKeyIndex> index) {
    if (!index) index = std::make_shared<const TLSKeyIndex>();
    slot().store(std::move(index));
}

std::shared_ptr<const TLSKeyIndex> TLSKeyIndex::current() { return slot().load(); }

}  // namespace qor
