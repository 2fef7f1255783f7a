// The capture protocol's codec: frames built byte by byte, every message through a round trip
// split anywhere, hostile length prefixes and malformed bodies.

#include <gtest/gtest.h>

#include "QORModels/capture/CaptureProtocol.hpp"
#include "support/Fixtures.hpp"

namespace qor::capture {
namespace {

using test::Bytes;

std::span<const std::byte> span(const Data& d) { return {d.data(), d.size()}; }

/// A frame around `body` (type byte and payload), with its big-endian length.
Bytes frame(const Bytes& body) {
    Bytes out(true);
    out.u32(static_cast<std::uint32_t>(body.size()));
    out.raw(body.data());
    return out;
}

std::vector<Message> decodeAll(std::span<const std::byte> bytes, std::size_t chunk, FrameReader& reader) {
    std::vector<Message> out;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        reader.append(bytes.subspan(at, std::min(chunk, bytes.size() - at)));
        while (auto m = reader.next()) out.push_back(std::move(*m));
    }
    return out;
}

TEST(CaptureProtocol, FramesBuiltByteByByteDecodeToTheirFields) {
    // getVersion: length 1, type 0x01.
    EXPECT_EQ(encodeFrame(GetVersionRequest{}), test::Bytes(true).u32(1).u8(0x01).vector());

    Bytes start(true);
    start.u8(0x05).u16(2).raw("lo").u16(13).raw("udp port 5353").u32(96).u64(10).u32(2500).u8(1);
    auto decoded = decodeBody(span(start.data()));
    ASSERT_TRUE(decoded.message) << decoded.error;
    EXPECT_EQ(*decoded.message, Message(StartCaptureRequest{"lo", "udp port 5353", 96, 10, 2500, true}));
    EXPECT_EQ(encodeFrame(*decoded.message), frame(start).vector());

    Bytes packet(true);
    packet.u8(0x85).u64(1'700'000'000'123'456ULL).u32(60).raw({0xde, 0xad, 0xbe, 0xef});
    decoded = decodeBody(span(packet.data()));
    ASSERT_TRUE(decoded.message) << decoded.error;
    const auto& p = std::get<PacketReply>(*decoded.message);
    EXPECT_EQ(p.timestampMicros, 1'700'000'000'123'456ULL);
    EXPECT_EQ(p.originalLength, 60u);
    EXPECT_EQ(p.bytes, (std::vector<std::byte>{std::byte{0xde}, std::byte{0xad}, std::byte{0xbe}, std::byte{0xef}}));
    // The packet encoder that works from the captured bytes gives the same frame.
    std::vector<std::byte> direct;
    appendPacketFrame(direct, p.timestampMicros, p.originalLength, p.bytes);
    EXPECT_EQ(direct, frame(packet).vector());
}

TEST(CaptureProtocol, EveryMessageSurvivesARoundTripInAnyChunking) {
    std::vector<Message> messages = {
        GetVersionRequest{}, ConnectToAuthSystemRequest{}, QuitDaemonRequest{}, ListInterfacesRequest{},
        StartCaptureRequest{"enp0s3", "tcp and not port 22", 0, 0, 0, false}, StopCaptureRequest{},
        VersionReply{"0.1.0"}, OkReply{},
        InterfacesReply{{{"lo", "", 7}, {"any", "Pseudo-device that captures on all interfaces", 0x31}}},
        InterfacesReply{}, CaptureStartedReply{1, 262144},
        PacketReply{42, 1514, std::vector<std::byte>(1514, std::byte{0x5a})}, PacketReply{0, 0, {}},
        CaptureEndedReply{CaptureEndReason::durationReached, {100000, 12, 3, 99988}, ""},
        CaptureEndedReply{CaptureEndReason::failed, {}, "The interface went down"},
        ErrorReply{ProtocolErrorCode::invalidFilter, "syntax error in filter expression"},
    };
    std::vector<std::byte> stream;
    for (const auto& m : messages) appendFrame(stream, m);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
        FrameReader reader(kMaxReplyFrame);
        EXPECT_EQ(decodeAll(stream, chunk, reader), messages) << "chunks of " << chunk;
        EXPECT_FALSE(reader.failed()) << reader.error();
        EXPECT_FALSE(reader.midFrame());
    }
}

TEST(CaptureProtocol, HostileLengthPrefixesFailAtOnce) {
    struct Case {
        std::uint32_t length;
        std::uint32_t cap;
        bool fails;
    };
    for (const auto& c : {Case{0x40000000, kMaxRequestFrame, true}, Case{0xFFFFFFFF, kMaxReplyFrame, true},
                          Case{kMaxRequestFrame + 1, kMaxRequestFrame, true}, Case{0, kMaxRequestFrame, true},
                          Case{kMaxRequestFrame, kMaxRequestFrame, false}}) {
        FrameReader reader(c.cap);
        reader.append(Bytes(true).u32(c.length).vector());
        EXPECT_FALSE(reader.next());
        EXPECT_EQ(reader.failed(), c.fails) << c.length;
        // A failed reader takes nothing more, even a valid frame.
        reader.append(encodeFrame(GetVersionRequest{}));
        if (c.fails) {
            EXPECT_FALSE(reader.next());
        }
    }
}

TEST(CaptureProtocol, MalformedBodiesAreRefusedWithAReason) {
    struct Case {
        const char* name;
        Bytes body;
        const char* reason;
    };
    std::vector<Case> cases = {
        {"unknown type", Bytes(true).u8(0x42), "unknown message type 0x42"},
        {"empty body", Bytes(true), "empty message"},
        {"bytes after an empty request", Bytes(true).u8(0x01).u8(0), "1 unexpected bytes"},
        {"text longer than the body", Bytes(true).u8(0x81).u16(10).raw("0.1"), "cut short in the version"},
        {"NUL in a filter", Bytes(true).u8(0x05).u16(2).raw("lo").u16(3).raw({'u', 0, 'p'}).u32(0).u64(0).u32(0).u8(0),
         "NUL character"},
        {"invalid UTF-8", Bytes(true).u8(0x81).u16(2).raw({0xC3, 0x28}), "not UTF-8"},
        {"no interface", Bytes(true).u8(0x05).u16(0).u16(0).u32(0).u64(0).u32(0).u8(0), "no interface"},
        {"snapshot too long", Bytes(true).u8(0x05).u16(2).raw("lo").u16(0).u32(kMaxSnapLength + 1).u64(0).u32(0).u8(0),
         "snapshot length"},
        {"unknown flags", Bytes(true).u8(0x05).u16(2).raw("lo").u16(0).u32(0).u64(0).u32(0).u8(2), "flags"},
        {"start without flags", Bytes(true).u8(0x05).u16(2).raw("lo").u16(0).u32(0).u64(0).u32(0), "cut short"},
        {"packet longer than its original", Bytes(true).u8(0x85).u64(0).u32(2).raw({1, 2, 3}), "exceed"},
        {"packet header cut", Bytes(true).u8(0x85).u64(0).u16(0), "cut short"},
        {"interface count beyond the body", Bytes(true).u8(0x83).u32(0x10000000), "exceeds the message"},
        {"unknown end reason", Bytes(true).u8(0x86).u8(9).zeros(32).u16(0), "end reason"},
        {"unknown error code", Bytes(true).u8(0xFF).u16(99).u16(0), "error code 99"},
    };
    for (auto& c : cases) {
        const auto result = decodeBody(span(c.body.data()));
        EXPECT_FALSE(result.message) << c.name;
        EXPECT_NE(result.error.find(c.reason), std::string::npos) << c.name << ": " << result.error;
        if (c.body.size() == 0) continue;
        FrameReader reader(kMaxReplyFrame);
        reader.append(frame(c.body).vector());
        EXPECT_FALSE(reader.next()) << c.name;
        EXPECT_TRUE(reader.failed()) << c.name;
    }
}

TEST(CaptureProtocol, LongTextsAreCutAtACharacterBoundary) {
    std::string text(65534, 'a');
    text += "\xC3\xA9";  // a two-byte character straddling the 65535-byte limit
    const auto bytes = encodeFrame(ErrorReply{ProtocolErrorCode::captureFailed, text});
    FrameReader reader(kMaxReplyFrame);
    reader.append(bytes);
    auto message = reader.next();
    ASSERT_TRUE(message) << reader.error();
    EXPECT_EQ(std::get<ErrorReply>(*message).message, std::string(65534, 'a'));
}

}  // namespace
}  // namespace qor::capture
