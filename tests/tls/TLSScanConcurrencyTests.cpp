// Scanning many streams on oneTBB's workers.

#include <gtest/gtest.h>

#include <vector>

#include "ClientHellos.hpp"
#include "QORModels/tls/TLSStreamScanner.hpp"

namespace qor {
namespace {

/// Stream `i`: a ClientHello whose random starts at `i`, on the client side for even `i` and on
/// the server side for odd ones; every fifth stream carries none, and every fourth carries a
/// second hello on the server side besides the client's, which the client's hides.
TCPStream streamNumber(std::size_t i) {
    TCPStream stream;
    stream.clientEndpoint = {"10.0.0.1", static_cast<std::uint16_t>(40000 + i)};
    stream.serverEndpoint = {"10.0.0.2", 443};
    stream.segments.push_back(TCPSegment{static_cast<std::int64_t>(100 + i), TCPSegment::Direction::clientToServer, 0, 0, {}, {}, 0});
    auto hello = [](std::uint8_t random) { return test::record(22, test::ClientHello{0x0303, random, "", {}}.message()); };
    (i % 2 ? stream.serverToClientData : stream.clientToServerData) = Data::fromString(i % 5 == 4 ? std::string("no tls") : hello(i));
    if (i % 4 == 0 && i % 5 != 4) stream.serverToClientData = Data::fromString(hello(200));
    return stream;
}

TEST(TLSScanConcurrency, ParallelScanKeepsStreamOrderAndPlacesEachHello) {
    std::vector<TCPStream> streams;
    for (std::size_t i = 0; i < 400; ++i) streams.push_back(streamNumber(i));
    const auto placed = TLSStreamScanner::sightings(std::span<const TCPStream>(streams));
    ASSERT_EQ(placed.size(), 320u);
    for (std::size_t i = 0, k = 0; i < streams.size(); ++i) {
        if (i % 5 == 4) continue;
        SCOPED_TRACE(i);
        const auto& [sighting, placement] = placed[k++];
        EXPECT_EQ(sighting, TLSStreamScanner::sightings(streams[i]).at(0).first);
        EXPECT_EQ(sighting.clientRandom, Data::fromString(test::randomBytes(static_cast<std::uint8_t>(i))));
        // A hello seen only on the server side makes the client's end the server.
        const bool fromServer = i % 2;
        EXPECT_EQ(placement, (TLSKeyInventory::SightingPlacement{fromServer ? "10.0.0.1" : "10.0.0.2",
                                                                 static_cast<std::uint16_t>(fromServer ? 40000 + i : 443),
                                                                 static_cast<std::int64_t>(100 + i)}));
    }
    EXPECT_TRUE(TLSStreamScanner::sightings(std::span<const TCPStream>()).empty());
}

}  // namespace
}  // namespace qor
