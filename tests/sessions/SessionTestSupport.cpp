#include "sessions/SessionTestSupport.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "analyzers/AnalyzerHarness.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::sessions {

std::vector<SubscriberSession> sessionsOf(std::string_view capture) {
    AnalyzerHarness::shared();
    auto read = readCapture(capture);
    return SubscriberSessionBuilder::buildSessions(TCPStreamReassembler::snapshot(read.packets));
}

std::vector<RawSessionEvent> eventsOf(std::string_view capture) {
    AnalyzerHarness::shared();
    auto read = readCapture(capture);
    SessionClassifier classifier;
    std::vector<RawSessionEvent> events;
    for (const auto& packet : read.packets) {
        auto bytes = packet->data();
        if (!bytes) continue;
        if (auto event = classifier.classify({packet->packetId(), packet->dateReceived(), packet->captureLength(),
                                              packet->realLength(), packet->linkType(), InternedString(), *bytes}))
            events.push_back(std::move(*event));
    }
    return events;
}

std::optional<RawSessionEvent> classifyFrame(const Data& frame, double time, std::int64_t id) {
    AnalyzerHarness::shared();
    SessionClassifier classifier;
    const auto length = static_cast<std::uint32_t>(frame.size());
    return classifier.classify({id, time, length, length, 1, InternedString(), frame});
}

Data mac(std::string_view text) {
    Bytes b(true);
    for (std::size_t i = 0; i + 1 < text.size(); i += 3) b.u8(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return b.data();
}

Data ethernet(std::string_view dst, std::string_view src, std::uint16_t etherType, const Data& payload) {
    Bytes b(true);
    b.raw(mac(dst)).raw(mac(src)).u16(etherType).raw(payload);
    while (b.size() < 60) b.u8(0);
    return b.data();
}

Data pppoeDiscovery(std::uint8_t code, std::uint16_t session, const Data& tags) {
    Bytes b(true);
    b.u8(0x11).u8(code).u16(session).u16(static_cast<std::uint16_t>(tags.size())).raw(tags);
    return b.data();
}

Data tag(std::uint16_t type, std::string_view value) {
    Bytes b(true);
    b.u16(type).u16(static_cast<std::uint16_t>(value.size())).raw(value);
    return b.data();
}

Data pppoeSession(std::uint16_t session, std::uint16_t protocol, const Data& packet) {
    Bytes b(true);
    b.u8(0x11).u8(0).u16(session).u16(static_cast<std::uint16_t>(packet.size() + 2)).u16(protocol).raw(packet);
    return b.data();
}

Data controlPacket(std::uint8_t code, std::uint8_t id, const Data& body) {
    Bytes b(true);
    b.u8(code).u8(id).u16(static_cast<std::uint16_t>(body.size() + 4)).raw(body);
    return b.data();
}

Data option(std::uint8_t type, const Data& value) {
    Bytes b(true);
    b.u8(type).u8(static_cast<std::uint8_t>(value.size() + 2)).raw(value);
    return b.data();
}

Data ipv4(std::string_view text) {
    Bytes b(true);
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        auto dot = text.find('.', start);
        b.u8(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(start, dot - start)))));
        start = dot + 1;
    }
    return b.data();
}

Data udp(std::string_view src, std::string_view dst, std::uint16_t srcPort, std::uint16_t dstPort, const Data& payload) {
    Bytes b(true);
    const auto udpLength = static_cast<std::uint16_t>(8 + payload.size());
    b.u8(0x45).u8(0).u16(static_cast<std::uint16_t>(20 + udpLength)).u16(1).u16(0).u8(64).u8(17).u16(0);
    b.raw(ipv4(src)).raw(ipv4(dst));
    b.u16(srcPort).u16(dstPort).u16(udpLength).u16(0).raw(payload);
    return b.data();
}

Data l2tpControl(std::uint16_t tunnel, std::uint16_t session, const Data& avps) {
    Bytes b(true);
    b.u16(0xC802).u16(static_cast<std::uint16_t>(12 + avps.size())).u16(tunnel).u16(session).u16(0).u16(0).raw(avps);
    return b.data();
}

Data l2tpData(std::uint16_t tunnel, std::uint16_t session, std::uint16_t protocol, const Data& packet) {
    Bytes b(true);
    b.u16(0x4002).u16(static_cast<std::uint16_t>(12 + packet.size())).u16(tunnel).u16(session);
    b.u8(0xFF).u8(0x03).u16(protocol).raw(packet);
    return b.data();
}

Data avp(std::uint16_t type, const Data& value, bool hidden) {
    Bytes b(true);
    b.u16(static_cast<std::uint16_t>(0x8000 | (hidden ? 0x4000 : 0) | (6 + value.size()))).u16(0).u16(type).raw(value);
    return b.data();
}

Data u16(std::uint16_t value) {
    Bytes b(true);
    b.u16(value);
    return b.data();
}

Data text(std::string_view value) { return Data::fromString(value); }

Data concat(std::initializer_list<Data> parts) {
    Bytes b(true);
    for (const auto& part : parts) b.raw(part);
    return b.data();
}

RawSessionEvent pppoeEvent(std::int64_t id, double time, std::string src, std::string dst, std::string protocol,
                           SessionPhase phase, std::uint16_t session) {
    RawSessionEvent e;
    e.packetId = id;
    e.timestamp = time;
    e.srcMAC = std::move(src);
    e.dstMAC = std::move(dst);
    e.label = protocol;
    e.protocolName = std::move(protocol);
    e.phase = phase;
    e.sessionID = session;
    e.transport = SessionTransport::pppoe;
    e.byteCount = 60;
    return e;
}

}  // namespace qor::test::sessions
