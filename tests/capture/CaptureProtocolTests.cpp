// The capture protocol's codec: frames built byte by byte, every message through a round trip
// split anywhere, hostile length prefixes and malformed bodies.

#include <gtest/gtest.h>

#include <tuple>

#include "QORModels/capture/CaptureProtocol.hpp"
#include "support/Fixtures.hpp"

namespace qor::capture {
namespace {

using test::Bytes;

/// A frame around `body` (type byte and payload), with its big-endian length.
std::vector<std::byte> frame(const Bytes& body) {
    return Bytes(true).u32(static_cast<std::uint32_t>(body.size())).raw(body.data()).vector();
}

TEST(CaptureProtocol, FramesBuiltByteByByteDecodeToTheirFields) {
    EXPECT_EQ(encodeFrame(GetVersionRequest{}), Bytes(true).u32(1).u8(0x01).vector());

    Bytes start = Bytes(true).u8(0x05).u16(2).raw("lo").u16(13).raw("udp port 5353").u32(96).u64(10).u32(2500).u8(1);
    auto decoded = decodeBody(start.vector());
    ASSERT_TRUE(decoded.message) << decoded.error;
    EXPECT_EQ(*decoded.message, Message(StartCaptureRequest{"lo", "udp port 5353", 96, 10, 2500, true}));
    EXPECT_EQ(encodeFrame(*decoded.message), frame(start));
    // A packet, from the encoder that works from the captured bytes.
    std::vector<std::byte> packet;
    appendPacketFrame(packet, 1'700'000'000'123'456ULL, 60, Bytes().raw({0xde, 0xad}).vector());
    EXPECT_EQ(packet, frame(Bytes(true).u8(0x85).u64(1'700'000'000'123'456ULL).u32(60).raw({0xde, 0xad})));
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
        std::vector<Message> got;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            reader.append(std::span(stream).subspan(at, std::min(chunk, stream.size() - at)));
            while (auto m = reader.next()) got.push_back(std::move(*m));
        }
        EXPECT_EQ(got, messages) << "chunks of " << chunk;
        EXPECT_FALSE(reader.failed()) << reader.error();
        EXPECT_FALSE(reader.midFrame());
    }
}

TEST(CaptureProtocol, HostileLengthPrefixesFailAtOnce) {
    for (const auto& [length, cap, fails] :
         {std::tuple{0x40000000u, kMaxRequestFrame, true}, {0xFFFFFFFFu, kMaxReplyFrame, true},
          {kMaxRequestFrame + 1, kMaxRequestFrame, true}, {0u, kMaxRequestFrame, true},
          {kMaxRequestFrame, kMaxRequestFrame, false}}) {
        FrameReader reader(cap);
        reader.append(Bytes(true).u32(length).vector());
        EXPECT_FALSE(reader.next());
        EXPECT_EQ(reader.failed(), fails) << length;
        // A failed reader takes nothing more, even a valid frame.
        reader.append(encodeFrame(GetVersionRequest{}));
        if (fails) { EXPECT_FALSE(reader.next()); }
    }
}

TEST(CaptureProtocol, MalformedBodiesAreRefusedWithAReason) {
    const auto startLo = [] { return Bytes(true).u8(0x05).u16(2).raw("lo"); };
    const std::vector<std::tuple<const char*, Bytes, const char*>> cases = {
        {"unknown type", Bytes(true).u8(0x42), "unknown message type 0x42"},
        {"empty body", Bytes(true), "empty message"},
        {"bytes after an empty request", Bytes(true).u8(0x01).u8(0), "1 unexpected bytes"},
        {"text longer than the body", Bytes(true).u8(0x81).u16(10).raw("0.1"), "cut short in the version"},
        {"NUL in a filter", startLo().u16(3).raw({'u', 0, 'p'}).u32(0).u64(0).u32(0).u8(0), "NUL character"},
        {"invalid UTF-8", Bytes(true).u8(0x81).u16(2).raw({0xC3, 0x28}), "not UTF-8"},
        {"no interface", Bytes(true).u8(0x05).u16(0).u16(0).u32(0).u64(0).u32(0).u8(0), "no interface"},
        {"snapshot too long", startLo().u16(0).u32(kMaxSnapLength + 1).u64(0).u32(0).u8(0), "snapshot length"},
        {"unknown flags", startLo().u16(0).u32(0).u64(0).u32(0).u8(2), "flags"},
        {"packet longer than its original", Bytes(true).u8(0x85).u64(0).u32(2).raw({1, 2, 3}), "exceed"},
        {"interface count beyond the body", Bytes(true).u8(0x83).u32(0x10000000), "exceeds the message"},
        {"unknown end reason", Bytes(true).u8(0x86).u8(9).zeros(32).u16(0), "end reason"},
        {"unknown error code", Bytes(true).u8(0xFF).u16(99).u16(0), "error code 99"},
    };
    for (const auto& [name, body, reason] : cases) {
        const auto result = decodeBody(body.vector());
        EXPECT_FALSE(result.message) << name;
        EXPECT_NE(result.error.find(reason), std::string::npos) << name << ": " << result.error;
        if (body.size() == 0) continue;
        FrameReader reader(kMaxReplyFrame);
        reader.append(frame(body));
        EXPECT_FALSE(reader.next()) << name;
        EXPECT_TRUE(reader.failed()) << name;
    }
}

TEST(CaptureProtocol, LongTextsAreCutAtACharacterBoundary) {
    // A two-byte character straddles the 65535-byte limit of a text.
    FrameReader reader(kMaxReplyFrame);
    reader.append(encodeFrame(ErrorReply{ProtocolErrorCode::captureFailed, std::string(65534, 'a') + "\xC3\xA9"}));
    const auto message = reader.next();
    ASSERT_TRUE(message) << reader.error();
    EXPECT_EQ(std::get<ErrorReply>(*message).message, std::string(65534, 'a'));
}

}  // namespace
}  // namespace qor::capture
