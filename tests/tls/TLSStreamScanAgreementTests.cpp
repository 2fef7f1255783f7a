// The ClientHellos of real captures, read by the library's reader and the standard plug-in,
// reassembled and scanned, against what tshark finds (tests/fixtures/expected/
// tls-clienthellos.txt and tls-clienthello-servers.txt, recorded by record-tls-clienthellos.sh).

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "AnalyzerHarness.hpp"
#include "ClientHellos.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/tls/TLSStreamScanner.hpp"
#include "StreamCaptures.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

std::string hexOf(const Data& bytes) {
    std::string out;
    for (auto b : bytes.span()) out += appendInterpolation(static_cast<std::uint8_t>(b), 16, "", 2);
    return out;
}

std::string joined(const std::vector<std::string>& texts) {
    std::string out;
    for (const auto& t : texts) out += (out.empty() ? "" : ",") + t;
    return out;
}

std::string versionsText(const std::vector<std::uint16_t>& versions) {
    std::vector<std::string> texts;
    for (auto v : versions) texts.push_back(appendInterpolation(v, 16, "0x", 4));
    return joined(texts);
}

/// Each capture's streams, reassembled once.
const std::vector<TCPStream>& streamsOf(const std::string& capture) {
    static std::map<std::string, std::vector<TCPStream>> cache;
    auto [it, inserted] = cache.try_emplace(capture);
    if (inserted) it->second = TCPStreamReassembler::reassembleAllOffMain(test::snapshotsOf(capture));
    return it->second;
}

TEST(TLSStreamScanAgreement, ClientHellosMatchTshark) {
    // capture → the rows (stream, random, name, ALPN, offered versions) that tshark's fields give.
    std::map<std::string, std::vector<std::string>> expected, actual;
    for (const auto& row : test::readExpectedRows("tls-clienthellos.txt", 7)) {
        ASSERT_EQ(row.size(), 7u);
        // Offered versions: supported_versions when present, else the legacy version.
        const std::string offered = row[5].empty() ? row[6] : row[5];
        expected[row[0]].push_back(row[1] + " " + row[2] + " " + row[3] + " " + row[4] + " " + offered);
    }
    ASSERT_EQ(expected.size(), 4u);
    for (const auto& [capture, rows] : expected) {
        const auto& streams = streamsOf(capture);
        auto& out = actual[capture];
        for (std::size_t i = 0; i < streams.size(); ++i)
            for (const auto& [s, placement] : TLSStreamScanner::sightings(streams[i]))
                out.push_back(std::to_string(i) + " " + hexOf(s.clientRandom) + " " + s.serverName.value_or("") + " " +
                              joined(s.alpnProtocols) + " " + versionsText(s.offeredVersions));
        EXPECT_EQ(out, rows) << capture;
    }
}

TEST(TLSStreamScanAgreement, PlacementsNameTheServerAndTheStreamsFirstPacket) {
    std::map<std::string, std::vector<std::string>> expected, actual;
    for (const auto& row : test::readExpectedRows("tls-clienthello-servers.txt", 5)) {
        ASSERT_EQ(row.size(), 5u);
        expected[row[0]].push_back(row[2] + " " + row[3] + " " + row[4]);
    }
    for (const auto& [capture, rows] : expected) {
        const auto placed = TLSStreamScanner::sightings(std::span<const TCPStream>(streamsOf(capture)));
        for (const auto& [s, p] : placed) actual[capture].push_back(p.serverIP + " " + std::to_string(p.serverPort) + " " +
                                                                     std::to_string(p.firstPacketId));
        EXPECT_EQ(actual[capture], rows) << capture;
    }
}

TEST(TLSStreamScanner, FallsBackToTheServerSideWhenTheClientSideHasNoHello) {
    const std::string hello = test::record(22, test::ClientHello{0x0303, 1, "", {test::sni("x.test")}}.message());
    const std::string other = test::record(22, test::ClientHello{0x0303, 2, "", {}}.message());
    using D = TCPSegment::Direction;
    struct Case {
        const char* name;
        std::vector<test::Sent> sent;
        std::string serverIP;
        std::uint16_t serverPort;
        std::vector<std::uint8_t> randoms;
    } cases[] = {
        {"hello from the client", {{D::clientToServer, hello, 1, 5}, {D::serverToClient, "reply", 2, 6}}, "10.0.0.2", 443, {1}},
        {"hello only on the server side", {{D::clientToServer, "not tls", 1, 9}, {D::serverToClient, hello, 2, 10}}, "10.0.0.1", 50000, {1}},
        {"hellos on both sides: the client's", {{D::serverToClient, other, 1, 3}, {D::clientToServer, hello, 2, 4}}, "10.0.0.2", 443, {1}},
        {"no hello anywhere", {{D::clientToServer, "a", 1, 1}, {D::serverToClient, "b", 2, 2}}, "", 0, {}},
    };
    std::vector<TCPStream> streams;
    std::vector<TLSKeyInventory::PlacedSighting> all;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        streams.push_back(test::streamOf(c.sent, 443));
        const auto placed = TLSStreamScanner::sightings(streams.back());
        ASSERT_EQ(placed.size(), c.randoms.size());
        for (std::size_t i = 0; i < placed.size(); ++i) {
            EXPECT_EQ(placed[i].first.clientRandom, Data::fromString(test::randomBytes(c.randoms[i])));
            EXPECT_EQ(placed[i].second,
                      (TLSKeyInventory::SightingPlacement{c.serverIP, c.serverPort, c.sent.front().packetId}));
        }
        all.insert(all.end(), placed.begin(), placed.end());
    }
    EXPECT_EQ(TLSStreamScanner::sightings(std::span<const TCPStream>(streams)), all);
    EXPECT_TRUE(TLSStreamScanner::sightings(std::span<const TCPStream>()).empty());
}

}  // namespace
}  // namespace qor
