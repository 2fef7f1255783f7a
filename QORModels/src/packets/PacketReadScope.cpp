#include "PacketReadScope.hpp"

#include "QORPlatform/ThreadLocal.hpp"

namespace qor {
namespace {
QOR_INITIAL_EXEC_TLS thread_local PacketReadScope* innermost = nullptr;
}

PacketReadScope::PacketReadScope(const QORPacket& packet) noexcept : packet_(packet), outer_(innermost) { innermost = this; }

PacketReadScope::~PacketReadScope() { innermost = outer_; }

PacketReadScope* PacketReadScope::open(const QORPacket& packet) noexcept {
    PacketReadScope* scope = innermost;
    return scope && &scope->packet_ == &packet ? scope : nullptr;
}

const CompactAnalyzerChain& PacketReadScope::links() {
    if (!linksFetched_) {
        links_ = packet_.analysedLinks();
        linksFetched_ = true;
    }
    return links_;
}

const std::optional<Data>& PacketReadScope::bytes() {
    if (!bytesFetched_) {
        bytes_ = packet_.data();
        bytesFetched_ = true;
    }
    return bytes_;
}

}  // namespace qor
