// Indexing key-log entries by client random, and the process-wide current index.

#include "QORModels/tls/TLSKeyIndex.hpp"

#include "QORModels/analysis/SharedSnapshot.hpp"

namespace qor {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

SharedSnapshot<TLSKeyIndex>& slot() {
    static SharedSnapshot<TLSKeyIndex> current(std::make_shared<const TLSKeyIndex>());
    return current;
}

}  // namespace

std::optional<std::string> TLSKeyIndex::clientRandomField(std::string_view line) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t i = 0;
    while (i < line.size() && isBlank(line[i])) ++i;
    while (i < line.size() && !isBlank(line[i])) ++i;  // the label
    while (i < line.size() && isBlank(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !isBlank(line[i])) ++i;
    const std::string_view field = line.substr(start, i - start);
    if (field.size() != 2 * clientRandomLength) return std::nullopt;
    std::string raw(clientRandomLength, '\0');
    for (std::size_t k = 0; k < clientRandomLength; ++k) {
        const int high = hexValue(field[2 * k]), low = hexValue(field[2 * k + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        raw[k] = static_cast<char>(high << 4 | low);
    }
    return raw;
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
