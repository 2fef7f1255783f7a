#include "StreamCaptures.hpp"

#include "PlugInPackets.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

Data frameOf(const WirePacket& p) {
    const std::uint8_t client[4] = {10, 0, 0, 1}, server[4] = {10, 0, 0, 2};
    const auto* src = p.fromClient ? client : server;
    const auto* dst = p.fromClient ? server : client;
    const std::uint16_t srcPort = p.fromClient ? p.clientPort : p.serverPort;
    const std::uint16_t dstPort = p.fromClient ? p.serverPort : p.clientPort;
    Bytes transport(true);
    if (p.udp) {
        transport.u16(srcPort).u16(dstPort).u16(static_cast<std::uint16_t>(8 + p.payload.size())).u16(0).raw(p.payload);
    } else {
        transport.u16(srcPort).u16(dstPort).u32(p.seq).u32(0).u8(0x50).u8(p.flags).u16(65535).u16(0).u16(0).raw(p.payload);
    }
    Bytes frame(true);
    frame.raw({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 0x66, 0x77, 0x88, 0x99, 0xaa}).u16(0x0800);
    frame.u8(0x45).u8(0).u16(static_cast<std::uint16_t>(20 + transport.size())).u16(1).u16(0x4000).u8(64).u8(p.udp ? 17 : 6).u16(0);
    frame.raw({src[0], src[1], src[2], src[3]}).raw({dst[0], dst[1], dst[2], dst[3]}).raw(transport.data());
    frame.zeros(p.padding);
    return frame.data();
}

}  // namespace

std::vector<PacketSnapshot> snapshotsOf(const std::vector<WirePacket>& packets) {
    activatePlugInsOnce();
    MainQueue::shared().bindCurrentThread();
    PcapBuilder capture;
    for (const auto& p : packets) {
        const auto micros = static_cast<std::uint64_t>(p.time * 1e6 + 0.5);
        capture.record(static_cast<std::uint32_t>(1700000000 + micros / 1000000), static_cast<std::uint32_t>(micros % 1000000), frameOf(p));
    }
    return TCPStreamReassembler::snapshot(readPackets(capture.data()));
}

std::vector<PacketSnapshot> snapshotsOf(const std::string& captureName) {
    activatePlugInsOnce();
    MainQueue::shared().bindCurrentThread();
    return TCPStreamReassembler::snapshot(readPackets(capturePath(captureName)));
}

}  // namespace qor::test
