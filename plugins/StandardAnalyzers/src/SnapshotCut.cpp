// Telling a message cut short by the capture's snapshot length from one that lies.

#include "SnapshotCut.hpp"

#include "AnalyzerBase.hpp"

namespace qor::standard {

bool cutBySnapshot(const Data& mine, const PacketRef& packet) {
    if (!packet || packet->captureLength() >= packet->realLength()) return false;
    Data all;
    auto offset = offsetInPacket(mine, packet, all);
    return offset && *offset + mine.size() >= all.size();
}

std::optional<std::string> noteCut(std::optional<std::string> summary, bool cut) {
    if (!cut) return summary;
    return summary.value_or("") + std::string(kPacketSizeLimited);
}

}  // namespace qor::standard
