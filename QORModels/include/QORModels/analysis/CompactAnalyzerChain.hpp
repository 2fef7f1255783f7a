#pragma once
// A packet's analyzer chain as kept between uses: where each analyzer was made, not the analyzers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"

namespace qor {

/// Where one analyzer of a chain was made: its class, by its number in `AnalyzerClassIndex`, and
/// the bytes it was made from (`offset` and `length` in the packet's captured bytes), with the
/// header size it answered. Making the class's analyzer again from those bytes gives an analyzer
/// that answers the same, since analyzers are pure functions of their bytes and their packet.
struct ChainLink {
    std::uint16_t classIndex = 0;
    std::uint16_t offset = 0;
    std::uint16_t length = 0;
    std::uint16_t protocolSize = 0;
    /// The built-in packet analyzer is made from no bytes at all (not from an empty slice).
    [[nodiscard]] bool madeFromNothing() const noexcept { return length == 0 && offset == 0; }
    friend bool operator==(const ChainLink&, const ChainLink&) = default;
};

/// Numbers the analyzer classes that chains refer to, for the life of the process.
///
/// A class gets its number the first time a walk meets it and keeps it; the index keeps every
/// numbered class alive (plug-in libraries are never unloaded, and a class a plug-in stops
/// registering may still be named by chains until the clear-analysis notification drops them).
/// Number 0 means "none". Up to `kCapacity - 1` classes can be numbered; past that, `indexOf`
/// gives 0 and the walk keeps the analyzers themselves instead. Thread-safe; `classAt` takes no
/// lock.
class AnalyzerClassIndex {
public:
    static constexpr std::size_t kCapacity = 4096;
    /// The class's number, given on first use; 0 when the index is full.
    static std::uint16_t indexOf(const AnalyzerClassRef& cls);
    /// The class numbered `index`, or null.
    static const QORPluginAnalyzerClass* classAt(std::uint16_t index) noexcept;
};

/// The links of one packet's chain, in order, in a small inline buffer that spills to the heap
/// only for long chains: eight bytes per analyzer instead of an object, a control block and a
/// copy of the packet's byte handle. Not thread-safe by itself (its owner locks).
class CompactAnalyzerChain {
public:
    static constexpr std::size_t kInline = 6;  // the packet analyzer, link, network, transport, application and one more

    CompactAnalyzerChain() = default;
    CompactAnalyzerChain(const CompactAnalyzerChain& other) { *this = other; }
    CompactAnalyzerChain& operator=(const CompactAnalyzerChain& other);
    CompactAnalyzerChain(CompactAnalyzerChain&& other) noexcept { *this = std::move(other); }
    /// Inline, as `push_back`'s common case is: every analysed packet's chain is built and
    /// handed on by value.
    CompactAnalyzerChain& operator=(CompactAnalyzerChain&& other) noexcept {
        if (this == &other) return *this;
        inline_ = other.inline_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        spill_ = std::move(other.spill_);
        other.size_ = 0;
        other.capacity_ = kInline;
        return *this;
    }
    ~CompactAnalyzerChain() = default;

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] std::span<const ChainLink> links() const noexcept {
        return {spill_ ? spill_.get() : inline_.data(), size_};
    }
    [[nodiscard]] const ChainLink& operator[](std::size_t i) const noexcept { return links()[i]; }
    [[nodiscard]] const ChainLink& back() const noexcept { return links()[size_ - 1]; }
    void push_back(const ChainLink& link) {
        if (size_ < capacity_) {
            (spill_ ? spill_.get() : inline_.data())[size_++] = link;
            return;
        }
        pushBackGrowing(link);
    }
    void clear() noexcept;

    /// Makes the analyzer of `link` again from the packet's bytes (`bytes`: the whole captured
    /// bytes); null when its class is gone or refuses the bytes now.
    static AnalyzerRef make(const ChainLink& link, const Data& bytes, const PacketRef& packet);
    /// Shows the analyzer of `link` to `visit` without keeping it; false when it cannot be made.
    static bool inspect(const ChainLink& link, const Data& bytes, const PacketRef& packet,
                        QORPluginAnalyzerClass::Visitor visit);
    /// The bytes the analyzer of `link` was made from.
    static Data bytesOf(const ChainLink& link, const Data& bytes);

private:
    /// `push_back` when the links fill the buffer: a larger one (up to 255 links; more are dropped).
    void pushBackGrowing(const ChainLink& link);

    std::array<ChainLink, kInline> inline_{};
    std::uint8_t size_ = 0;
    std::uint8_t capacity_ = kInline;
    std::unique_ptr<ChainLink[]> spill_;
};

}  // namespace qor
