// Packets read and analysed the way the application does it.

#include "PlugInPackets.hpp"

#include "AnalyzerHarness.hpp"

#include <gtest/gtest.h>

#include "QORDependencies/DefaultInjection.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {

void activatePlugInsOnce() { AnalyzerHarness::shared(); }

PacketList readPackets(const std::filesystem::path& path) {
    auto bytes = readFile(path);
    FileDataToPacketsAsyncStream reader;
    return reader.parsePackets(bytes, std::make_shared<QORDataCache>(path, false), path, nullptr);
}

PacketList readPackets(const Data& capture) {
    // The data cache reads packets' bytes from the file, which must outlive the packets' analysis.
    static TempDir dir;
    static int count = 0;
    return readPackets(dir.write("built-" + std::to_string(++count) + ".pcap", capture));
}

std::shared_ptr<QORPacket> analysedFrame(std::uint32_t linkType, const Data& frame, std::int64_t originalLength) {
    activatePlugInsOnce();
    auto packets = readPackets(PcapBuilder(linkType).record(1, 0, frame, originalLength).data());
    EXPECT_EQ(packets.size(), 1u);
    if (packets.empty()) return nullptr;
    (void)packets.front()->cachedAnalyzers();
    return packets.front();
}

std::string frameHistory(std::uint32_t linkType, const Data& frame, std::int64_t originalLength) {
    auto packet = analysedFrame(linkType, frame, originalLength);
    return packet ? packet->packetProtocolHistory().value_or("") : std::string();
}

std::vector<std::string> layersOf(const QORPacket& packet) {
    (void)packet.cachedAnalyzers();  // the history is stored by the packet's analysis
    return split(packet.packetProtocolHistory().value_or(""), '-');
}

Data ethernetFrame(std::uint16_t etherType, const Data& payload) {
    Bytes b(true);
    b.raw({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 0x66, 0x77, 0x88, 0x99, 0xaa}).u16(etherType).raw(payload);
    return b.data();
}

Data ipv4Packet(std::uint8_t protocol, const Data& payload, std::uint8_t lastSourceByte, int totalLength) {
    Bytes b(true);
    auto length = totalLength >= 0 ? static_cast<std::uint16_t>(totalLength) : static_cast<std::uint16_t>(20 + payload.size());
    b.u8(0x45).u8(0).u16(length).u16(1).u16(0x4000).u8(64).u8(protocol).u16(0);
    b.raw({10, 0, 0, lastSourceByte}).raw({10, 0, 0, 2}).raw(payload);
    return b.data();
}

Data ipv6Packet(std::uint8_t nextHeader, const Data& payload) {
    Bytes b(true);
    b.u32(0x60000000).u16(static_cast<std::uint16_t>(payload.size())).u8(nextHeader).u8(64);
    b.raw({0x20, 0x01, 0x0d, 0xb8}).zeros(11).u8(1).raw({0x20, 0x01, 0x0d, 0xb8}).zeros(11).u8(2).raw(payload);
    return b.data();
}

Data udpDatagram(std::uint16_t sourcePort, std::uint16_t destinationPort, const Data& payload) {
    Bytes b(true);
    b.u16(sourcePort).u16(destinationPort).u16(static_cast<std::uint16_t>(8 + payload.size())).u16(0).raw(payload);
    return b.data();
}

Data dnsQuery() {
    return Bytes(true).u16(0x1234).u16(0x0100).u16(1).u16(0).u16(0).u16(0).u8(1).raw("a").u8(0).u16(1).u16(1).data();
}

Data dnsDatagram() { return ipv4Packet(17, udpDatagram(40000, 53, dnsQuery())); }

Data tcpSegment(std::uint16_t sourcePort, std::uint16_t destinationPort, const Data& payload) {
    Bytes b(true);
    b.u16(sourcePort).u16(destinationPort).u32(1000).u32(2000).u16(0x5018).u16(65535).u16(0).u16(0).raw(payload);
    return b.data();
}

}  // namespace qor::test
