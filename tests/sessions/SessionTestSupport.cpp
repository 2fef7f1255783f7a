#include "sessions/SessionTestSupport.hpp"

#include <gtest/gtest.h>

#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "analyzers/AnalyzerHarness.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::sessions {

std::vector<SubscriberSession> sessionsOf(std::string_view capture) {
    AnalyzerHarness::shared();
    auto read = readCapture(capture);
    return SubscriberSessionBuilder::buildSessions(TCPStreamReassembler::snapshot(read.packets));
}

namespace {
/// The event of `packet` with its detail rows, after checking that without them it is the same,
/// and that made in a slot that still holds the last packet's event it is the same again.
std::optional<RawSessionEvent> classifyBothWays(const SessionPacket& packet) {
    static thread_local SessionClassifier withRows, withoutRows(/*keepDetail=*/false);
    static thread_local std::optional<RawSessionEvent> slot;
    auto event = withRows.classify(packet), brief = withoutRows.classify(packet);
    EXPECT_TRUE(!brief || brief->detail.empty()) << "packet " << packet.packetId;
    withRows.classify(packet, slot);
    EXPECT_TRUE(slot == event) << "packet " << packet.packetId << " made in a used slot";
    if (event && brief) brief->detail = event->detail;
    EXPECT_TRUE(event == brief) << "packet " << packet.packetId;
    return event;
}
}  // namespace

std::vector<RawSessionEvent> eventsOf(std::string_view capture) {
    AnalyzerHarness::shared();
    auto read = readCapture(capture);
    std::vector<RawSessionEvent> events;
    for (const auto& packet : read.packets) {
        auto bytes = packet->data();
        if (!bytes) continue;
        if (auto event = classifyBothWays({packet->packetId(), packet->dateReceived(), packet->captureLength(),
                                           packet->realLength(), packet->linkType(), InternedString(), *bytes}))
            events.push_back(std::move(*event));
    }
    return events;
}

std::optional<RawSessionEvent> classifyFrame(const Data& frame) {
    AnalyzerHarness::shared();
    const auto length = static_cast<std::uint32_t>(frame.size());
    return classifyBothWays({1, 1.0, length, length, 1, InternedString(), frame});
}

namespace {
std::uint16_t size16(const Data& data, std::size_t extra = 0) { return static_cast<std::uint16_t>(data.size() + extra); }

Data mac(std::string_view text) {
    Bytes b(true);
    for (std::size_t i = 0; i + 1 < text.size(); i += 3) b.u8(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return b.data();
}
}  // namespace

Data ethernet(std::string_view dst, std::string_view src, std::uint16_t etherType, const Data& payload) {
    Bytes b(true);
    b.raw(mac(dst)).raw(mac(src)).u16(etherType).raw(payload);
    return b.zeros(b.size() < 60 ? 60 - b.size() : 0).data();
}

Data pppoeDiscovery(std::uint8_t code, std::uint16_t session, const Data& tags) {
    return Bytes(true).u8(0x11).u8(code).u16(session).u16(size16(tags)).raw(tags).data();
}

Data pppoeSession(std::uint16_t session, std::uint16_t protocol, const Data& packet) {
    return Bytes(true).u8(0x11).u8(0).u16(session).u16(size16(packet, 2)).u16(protocol).raw(packet).data();
}

Data controlPacket(std::uint8_t code, std::uint8_t id, const Data& body) {
    return Bytes(true).u8(code).u8(id).u16(size16(body, 4)).raw(body).data();
}

Data option(std::uint8_t type, const Data& value) {
    return Bytes(true).u8(type).u8(static_cast<std::uint8_t>(value.size() + 2)).raw(value).data();
}

Data ipv4(std::string_view text) {
    Bytes b(true);
    for (std::size_t start = 0, i = 0; i < 4; ++i, start = text.find('.', start) + 1)
        b.u8(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(start, text.find('.', start) - start)))));
    return b.data();
}

Data udp(std::string_view src, std::string_view dst, std::uint16_t srcPort, std::uint16_t dstPort, const Data& payload) {
    const auto udpLength = size16(payload, 8);
    return Bytes(true).u8(0x45).u8(0).u16(static_cast<std::uint16_t>(20 + udpLength)).u16(1).u16(0).u8(64).u8(17).u16(0)
        .raw(ipv4(src)).raw(ipv4(dst)).u16(srcPort).u16(dstPort).u16(udpLength).u16(0).raw(payload).data();
}

Data l2tpControl(std::uint16_t tunnel, std::uint16_t session, const Data& avps) {
    return Bytes(true).u16(0xC802).u16(size16(avps, 12)).u16(tunnel).u16(session).u16(0).u16(0).raw(avps).data();
}

Data l2tpData(std::uint16_t tunnel, std::uint16_t session, std::uint16_t protocol, const Data& packet) {
    return Bytes(true).u16(0x4002).u16(size16(packet, 12)).u16(tunnel).u16(session).u8(0xFF).u8(0x03).u16(protocol).raw(packet).data();
}

Data avp(std::uint16_t type, const Data& value, bool hidden) {
    return Bytes(true).u16(static_cast<std::uint16_t>(0x8000 | (hidden ? 0x4000 : 0) | (6 + value.size()))).u16(0).u16(type).raw(value).data();
}

Data u16(std::uint16_t value) { return Bytes(true).u16(value).data(); }

Data text(std::string_view value) { return Data::fromString(value); }

Data concat(std::initializer_list<Data> parts) {
    Bytes b(true);
    for (const auto& part : parts) b.raw(part);
    return b.data();
}

}  // namespace qor::test::sessions
