// The ClientHellos of real captures, read by the library's reader and the standard plug-in,
// reassembled and scanned, against what tshark finds (tests/fixtures/expected/
// tls-clienthellos.txt and tls-clienthello-servers.txt, recorded by record-tls-clienthellos.sh).

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "AnalyzerHarness.hpp"
#include "QORCommonTools/QORAnalyzingUtilities.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/tls/TLSStreamScanner.hpp"
#include "StreamCaptures.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

TEST(TLSStreamScanAgreement, ClientHellosAndWhereTheyWereSeenMatchTshark) {
    // capture → the rows tshark's fields give: (stream, random, name, ALPN, offered versions) of
    // each ClientHello, and (server address, port, first packet of the stream) of each.
    std::map<std::string, std::vector<std::string>> hellos, servers;
    for (const auto& row : test::readExpectedRows("tls-clienthellos.txt", 7)) {
        ASSERT_EQ(row.size(), 7u);
        // Offered versions: supported_versions when present, else the legacy version.
        hellos[row[0]].push_back(row[1] + " " + row[2] + " " + row[3] + " " + row[4] + " " + (row[5].empty() ? row[6] : row[5]));
    }
    for (const auto& row : test::readExpectedRows("tls-clienthello-servers.txt", 5)) {
        ASSERT_EQ(row.size(), 5u);
        servers[row[0]].push_back(row[2] + " " + row[3] + " " + row[4]);
    }
    ASSERT_EQ(hellos.size(), 4u);
    ASSERT_EQ(servers.size(), hellos.size());
    for (const auto& [capture, rows] : hellos) {
        const auto streams = TCPStreamReassembler::reassembleAllOffMain(test::snapshotsOf(capture));
        std::vector<std::string> found, placed;
        for (std::size_t i = 0; i < streams.size(); ++i)
            for (const auto& [s, placement] : TLSStreamScanner::sightings(streams[i]))
                found.push_back(fmt::format("{} {} {} {} 0x{:04x}", i, QORAnalyzingUtilities::hexStringFromData(s.clientRandom, false),
                                            s.serverName.value_or(""), fmt::join(s.alpnProtocols, ","),
                                            fmt::join(s.offeredVersions, ",0x")));
        for (const auto& [s, p] : TLSStreamScanner::sightings(std::span<const TCPStream>(streams)))
            placed.push_back(fmt::format("{} {} {}", p.serverIP, p.serverPort, p.firstPacketId));
        EXPECT_EQ(found, rows) << capture;
        EXPECT_EQ(placed, servers[capture]) << capture;
    }
}

}  // namespace
}  // namespace qor
