#pragma once
// Packets and snapshots for the statistics tests, read through the library's reader with the
// standard plug-in loaded by the plug-in controller.

#include <cstddef>
#include <string>
#include <vector>

#include "QORModels/analysis/PacketsProvider.hpp"
#include "QORModels/statistics/ProtocolStatisticCounting.hpp"
#include "QORModels/streams/PacketSnapshot.hpp"

namespace qor::test {

/// The snapshots of a fixture capture, taken on this thread (which becomes the main thread).
std::vector<PacketSnapshot> statisticSnapshots(const std::string& captureName);
/// The snapshots repeated `times` times: a long list whose counts are known.
std::vector<PacketSnapshot> repeated(const std::vector<PacketSnapshot>& snapshots, std::size_t times);
/// For each protocol name, how many analyzers of the packets' own chains (each packet analysed
/// as the document analyses it) announce it: what the statistics must find again from snapshots.
ProtocolStatistic announcedByOwnChains(const PacketsProvider::PacketList& packets);

}  // namespace qor::test
