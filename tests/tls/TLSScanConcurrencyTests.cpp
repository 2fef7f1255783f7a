// Scanning many streams on oneTBB's workers, and the canonical resolver made from many threads.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ClientHellos.hpp"
#include "QORModels/tls/TLSSessionStatusResolving.hpp"
#include "QORModels/tls/TLSStreamScanner.hpp"

namespace qor {
namespace {

/// Stream `i`: a ClientHello whose random starts at `i`, on the client side for even `i` and on
/// the server side for odd ones; every fifth stream carries none.
TCPStream streamNumber(std::size_t i) {
    TCPStream stream;
    stream.clientEndpoint = {"10.0.0.1", static_cast<std::uint16_t>(40000 + i)};
    stream.serverEndpoint = {"10.0.0.2", 443};
    stream.key = TCPStreamKey::between(stream.clientEndpoint, stream.serverEndpoint);
    stream.segments.push_back(TCPSegment{static_cast<std::int64_t>(100 + i), TCPSegment::Direction::clientToServer, 0, 0, {}, {}, 0});
    const std::string hello = i % 5 == 4 ? std::string("no tls")
                                         : test::record(22, test::ClientHello{0x0303, static_cast<std::uint8_t>(i), "", {}}.message());
    (i % 2 ? stream.serverToClientData : stream.clientToServerData) = Data::fromString(hello);
    return stream;
}

TEST(TLSScanConcurrency, ParallelScanKeepsStreamOrder) {
    std::vector<TCPStream> streams;
    for (std::size_t i = 0; i < 400; ++i) streams.push_back(streamNumber(i));
    const auto placed = TLSStreamScanner::sightings(std::span<const TCPStream>(streams));
    std::vector<TLSKeyInventory::PlacedSighting> serial;
    for (const auto& stream : streams)
        for (auto& p : TLSStreamScanner::sightings(stream)) serial.push_back(std::move(p));
    EXPECT_EQ(placed, serial);
    ASSERT_EQ(placed.size(), 320u);
    EXPECT_EQ(placed[1].second.serverIP, "10.0.0.1");  // stream 1: the hello was on the server side
    EXPECT_EQ(placed[1].second.firstPacketId, 101);
}

TEST(TLSScanConcurrency, CanonicalResolverIsMadeOnce) {
    std::vector<const DecryptionOutcomeStatusResolver*> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < seen.size(); ++t) threads.emplace_back([&seen, t] { seen[t] = &TLSSessionStatusResolution::canonical(); });
    for (auto& thread : threads) thread.join();
    for (const auto* resolver : seen) EXPECT_EQ(resolver, seen.front());
}

}  // namespace
}  // namespace qor
