// The packet record's detail tree: the "Packet" header node, each analyzer's nodes, padding
// and the unexplained payload.

#include <cmath>
#include <ctime>
#include <fmt/format.h>

#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/analysis/QORNode.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/Localized.hpp"
#include "QORPacketFields.hpp"

namespace qor {
namespace {

/// "yyyy-MM-dd HH:mm:ss.SSS (z)" in the system's time zone; a time outside the years 1 to 9999
/// (a file's timestamp can count up to 2^64 units of its resolution) is "Not representable", as
/// tshark shows it, rather than a date the calendar functions cannot make.
std::string formatArrival(double seconds) {
    if (!isCalendarRepresentable(seconds)) return "Not representable";
    double whole = std::floor(seconds);
    auto t = static_cast<std::time_t>(whole);
    int millis = static_cast<int>((seconds - whole) * 1000.0);
    if (millis > 999) millis = 999;
    std::tm local{};
    localtime_r(&t, &local);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    char zone[16];
    std::strftime(zone, sizeof zone, "%Z", &local);
    return fmt::format("{}.{:03d} ({})", date, millis, zone);
}

std::string bytesText(std::uint64_t count) {
    return fmt::format(fmt::runtime(localized("%ld bytes", "Bytes Length").replace(0, 3, "{}")), count);
}

std::shared_ptr<QORNode> node(const char* name, const char* comment, std::string value) {
    auto n = QORNode::nodeWithName(localized(name, comment));
    n->setNodeValue(std::move(value));
    return n;
}

}  // namespace

NodeList QORPacket::nodes() {
    generatePacketNodes();
    return packetNodes().value_or(NodeList{});
}

void QORPacket::generatePacketNodes() {
    auto bytes = data();
    if (!bytes) return;

    auto root = QORNode::nodeWithName(localized("Packet", "Analyzer: Packet-Header"));
    root->addChild(node("ID", "Analyzer: Packet-ID", std::to_string(packetId_)));
    root->addChild(node("Date received", "Analyzer: PacketArrival", formatArrival(dateReceived_)));
    root->addChild(node("Time since first packet", "Analyzer: PacketTime", fmt::format("{:0.3f} seconds", packetTime())));
    root->addChild(node("Packet length", "Analyzer: Length", bytesText(realLength_)));
    root->addChild(node("Captured length", "Analyzer: Length", bytesText(captureLength_)));
    if (auto index = pcapngInterfaceIndex()) {
        std::string text = std::to_string(*index);
        if (auto name = pcapngInterfaceName(); name && !name->empty()) text += " (" + *name + ")";
        root->addChild(node("Interface", "Analyzer: pcapng capture interface", std::move(text)));
    }
    if (auto flags = pcapngPacketFlags()) {
        root->addChild(node("Flags", "Analyzer: pcapng packet flags", pcapngFlagsDescription(*flags)));
    }
    if (auto comment = packetComment(); comment && !comment->empty()) {
        root->addChild(node("Comment", "Analyzer: Packet comment", *comment));
    }

    NodeList list{root};
    std::uint32_t padding = packetPadding();
    // Bytes no analyzer header has claimed, counted in 16 bits; packets above 65535 bytes count
    // their first 65535.
    std::uint16_t unclaimed = static_cast<std::uint16_t>(std::min<std::size_t>(bytes->size(), UINT16_MAX));
    std::uint16_t offset = 0;
    if (auto chain = cachedAnalyzers()) {
        for (const auto& analyzer : *chain) {
            Data slice = bytes->slice(offset);
            auto produced = analyzer->protocolNodes(slice);
            bool allNodes = !produced.empty() &&
                            std::all_of(produced.begin(), produced.end(), [](auto& n) { return std::dynamic_pointer_cast<QORNode>(n) != nullptr; });
            if (allNodes) {
                auto first = std::static_pointer_cast<QORNode>(produced.front());
                auto tip = analyzer->protocolInfo(slice);
                if (!tip) tip = analyzer->protocolInfo();
                if (tip) first->setToolTip(*tip);
                if (padding != 0 && analyzer->protocolName() == std::optional<std::string>("ETH")) {
                    auto last = std::static_pointer_cast<QORNode>(produced.back());
                    last->addChild(node("Padding", "Analyzer: Padding",
                                        localized(fmt::format("{} bytes", padding), "PaddingLength")));
                }
                list.insert(list.end(), produced.begin(), produced.end());
            }
            std::uint16_t size = analyzer->protocolSize();
            unclaimed = size > unclaimed ? 0 : static_cast<std::uint16_t>(unclaimed - size);
            offset = static_cast<std::uint16_t>(offset + size);
        }
    }
    // The walk visits every analyzer of the chain, so the layers inside a payload (a tunnel, an
    // application protocol) show too; the payload node then holds the bytes after the last
    // header, less the padding, and is left out when that is nothing.
    if (unclaimed != 0 && padding < unclaimed) {
        std::uint32_t length = unclaimed - padding;
        auto payload = node("Payload", "Analyzer: Payload", {});
        payload->setHeaderLocation(0);
        payload->setHeaderLength(static_cast<std::uint16_t>(length));
        payload->addChild(node("Length", "Analyzer: Length", bytesText(length)));
        list.push_back(payload);
    }
    setPacketNodes(std::move(list));
}

}  // namespace qor
