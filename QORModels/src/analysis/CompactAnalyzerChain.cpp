#include "QORModels/analysis/CompactAnalyzerChain.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace qor {
namespace {

struct ClassTable {
    std::mutex lock;  // held to number a class, never to read one
    std::vector<AnalyzerClassRef> owners;
    std::array<std::atomic<const QORPluginAnalyzerClass*>, AnalyzerClassIndex::kCapacity> byIndex{};
};

ClassTable& table() {
    static auto* t = new ClassTable();  // classes stay numbered until the process ends
    return *t;
}

}  // namespace

std::uint16_t AnalyzerClassIndex::indexOf(const AnalyzerClassRef& cls) {
    if (!cls) return 0;
    if (auto known = cls->chainIndex()) return known;
    auto& t = table();
    std::lock_guard guard(t.lock);
    if (auto known = cls->chainIndex()) return known;
    const std::size_t next = t.owners.size() + 1;
    if (next >= kCapacity) return 0;
    t.owners.push_back(cls);
    t.byIndex[next].store(cls.get(), std::memory_order_release);
    cls->setChainIndex(static_cast<std::uint16_t>(next));
    return static_cast<std::uint16_t>(next);
}

const QORPluginAnalyzerClass* AnalyzerClassIndex::classAt(std::uint16_t index) noexcept {
    if (index == 0 || index >= kCapacity) return nullptr;
    return table().byIndex[index].load(std::memory_order_acquire);
}

CompactAnalyzerChain& CompactAnalyzerChain::operator=(const CompactAnalyzerChain& other) {
    if (this == &other) return *this;
    if (!other.spill_) {  // nearly every chain: one copy of the inline links, no loop
        spill_.reset();
        inline_ = other.inline_;
        size_ = other.size_;
        capacity_ = kInline;
        return *this;
    }
    clear();
    for (const auto& link : other.links()) push_back(link);
    return *this;
}

void CompactAnalyzerChain::pushBackGrowing(const ChainLink& link) {
    if (size_ == UINT8_MAX) return;  // longer than any walk makes
    if (size_ == capacity_) {
        const std::size_t grown = std::min<std::size_t>(std::size_t{capacity_} * 2, UINT8_MAX);
        auto bigger = std::make_unique<ChainLink[]>(grown);
        std::copy_n(links().data(), size_, bigger.get());
        spill_ = std::move(bigger);
        capacity_ = static_cast<std::uint8_t>(grown);
    }
    (spill_ ? spill_.get() : inline_.data())[size_++] = link;
}

void CompactAnalyzerChain::clear() noexcept {
    spill_.reset();
    size_ = 0;
    capacity_ = kInline;
}

Data CompactAnalyzerChain::bytesOf(const ChainLink& link, const Data& bytes) {
    if (link.madeFromNothing()) return Data();
    return bytes.slice(link.offset, link.length);
}

AnalyzerRef CompactAnalyzerChain::make(const ChainLink& link, const Data& bytes, const PacketRef& packet) {
    const auto* cls = AnalyzerClassIndex::classAt(link.classIndex);
    if (!cls) return nullptr;
    return cls->make(bytesOf(link, bytes), packet);
}

bool CompactAnalyzerChain::inspect(const ChainLink& link, const Data& bytes, const PacketRef& packet,
                                   QORPluginAnalyzerClass::Visitor visit) {
    const auto* cls = AnalyzerClassIndex::classAt(link.classIndex);
    if (!cls) return false;
    return cls->inspect(bytesOf(link, bytes), packet, visit);
}

}  // namespace qor
