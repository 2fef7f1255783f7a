#pragma once
// One evaluation's reads of one packet on the calling thread.

#include <optional>

#include "QORModels/analysis/CompactAnalyzerChain.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/Data.hpp"

namespace qor {

/// What the reads of one packet's plug-in attributes share while a filter evaluates it: the
/// packet's stored links and its bytes, each fetched on the first read that needs it and kept
/// until the scope ends. A predicate that names several attributes (`srcPort == 443 OR dstPort
/// == 443`) thus locks the packet, its analysis and its byte source once, and every read sees
/// the same analysis and the same bytes even when another thread clears or replaces them
/// meanwhile.
///
/// A scope is opened on a thread for one packet and is the one `open` finds for that packet on
/// that thread until it ends; scopes nest (the inner one hides the outer while it lasts). Only
/// the thread that opened a scope uses it.
class PacketReadScope {
public:
    explicit PacketReadScope(const QORPacket& packet) noexcept;
    ~PacketReadScope();
    PacketReadScope(const PacketReadScope&) = delete;
    PacketReadScope& operator=(const PacketReadScope&) = delete;

    /// The scope this thread has open for `packet`, or null.
    [[nodiscard]] static PacketReadScope* open(const QORPacket& packet) noexcept;

    /// The packet's stored links (`analysedLinks()`), fetched once.
    const CompactAnalyzerChain& links();
    /// The packet's bytes (`data()`), fetched once; none when they are gone.
    const std::optional<Data>& bytes();
    /// Whether a read has fetched the packet's bytes (a filter that reads them is worth reading
    /// ahead for).
    [[nodiscard]] bool fetchedBytes() const noexcept { return bytesFetched_; }

private:
    const QORPacket& packet_;
    PacketReadScope* outer_;
    bool linksFetched_ = false;
    bool bytesFetched_ = false;
    CompactAnalyzerChain links_;
    std::optional<Data> bytes_;
};

}  // namespace qor
