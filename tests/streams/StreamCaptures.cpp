#include "StreamCaptures.hpp"

#include <stdexcept>

#include "PlugInPackets.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

Data frameOf(const WirePacket& p) {
    const auto& src = p.fromClient ? p.clientAddress : p.serverAddress;
    const auto& dst = p.fromClient ? p.serverAddress : p.clientAddress;
    const std::uint16_t srcPort = p.fromClient ? p.clientPort : p.serverPort;
    const std::uint16_t dstPort = p.fromClient ? p.serverPort : p.clientPort;
    Bytes tcp(true);
    tcp.u16(srcPort).u16(dstPort).u32(p.seq).u32(0).u8(0x50).u8(p.flags).u16(65535).u16(0).u16(0).raw(p.payload);
    const Data transport = p.udp ? udpDatagram(srcPort, dstPort, Data::fromString(p.payload)) : tcp.data();
    Bytes ip(true);
    ip.u8(0x45).u8(0).u16(static_cast<std::uint16_t>(20 + transport.size())).u16(1).u16(0x4000).u8(64).u8(p.udp ? 17 : 6).u16(0);
    ip.raw({src[0], src[1], src[2], src[3]}).raw({dst[0], dst[1], dst[2], dst[3]}).raw(transport).zeros(p.padding);
    return ethernetFrame(0x0800, ip.data());
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

std::shared_ptr<const QORStreamInterpreting> streamInterpreter(std::string_view name) {
    activatePlugInsOnce();
    for (const auto& box : QORStreamInterpreterRegistry::shared().snapshot())
        if (box.interpreterType && box.interpreterType->streamDisplayName() == name) return box.interpreterType;
    throw std::runtime_error("no stream interpreter " + std::string(name));
}

TCPStream streamOf(const std::vector<Sent>& sent, std::uint16_t serverPort) {
    TCPStream stream;
    stream.clientEndpoint = {"10.0.0.1", 50000};
    stream.serverEndpoint = {"10.0.0.2", serverPort};
    stream.key = TCPStreamKey::between(stream.clientEndpoint, stream.serverEndpoint);
    std::string client, server;
    for (const auto& s : sent) {
        const bool fromClient = s.direction == TCPSegment::Direction::clientToServer;
        auto& bytes = fromClient ? client : server;
        auto& index = fromClient ? stream.clientByteIndex : stream.serverByteIndex;
        const auto before = static_cast<std::int64_t>(bytes.size());
        bytes += s.bytes;
        index.spans.push_back({{before, static_cast<std::int64_t>(bytes.size())}, {s.packetId}, s.time});
        stream.segments.push_back(TCPSegment{s.packetId, s.direction, 0, 0, {}, Data::fromString(s.bytes), s.time});
    }
    stream.clientToServerData = Data::fromString(client);
    stream.serverToClientData = Data::fromString(server);
    if (!sent.empty()) {
        stream.startTime = sent.front().time;
        stream.endTime = sent.back().time;
    }
    return stream;
}

TCPStream streamOf(std::string client, std::string server, std::uint16_t serverPort) {
    std::vector<Sent> sent;
    if (!client.empty()) sent.push_back({TCPSegment::Direction::clientToServer, std::move(client), 1, 1});
    if (!server.empty()) sent.push_back({TCPSegment::Direction::serverToClient, std::move(server), 2, 2});
    return streamOf(sent, serverPort);
}

}  // namespace qor::test
