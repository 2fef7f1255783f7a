// Display filters select the packets that tshark's equivalent filters select, on the real
// captures: packets read by the library's reader, analysed through the loaded plug-in, filtered
// by the filter engine with predicates read from the predicate language.
//
// Expected values: tests/fixtures/expected/display-filters.tshark.tsv, written by
// record-display-filters.sh in that folder (its first line records the tshark version; each row
// the capture, our expression, tshark's filter and the frame numbers tshark selects).

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "AnalyzerHarness.hpp"
#include "PlugInPackets.hpp"
#include "QORModels/filters/PacketFilterEngine.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/NSPredicate.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

/// Our reader returns 4 of the 5 packets tshark reads from this capture (its fifth is a packet
/// block of an interface our reader refuses), so frame numbers cannot be compared.
constexpr const char* kDifferentPacketCount = "pcapng-test102-be.pcapng";

TEST(DisplayFilterAgreement, FiltersSelectWhatTsharkSelects) {
    activatePlugInsOnce();
    std::map<std::string, PacketList> captures;
    std::map<std::string, std::shared_ptr<const NSPredicate>> predicates;
    std::size_t compared = 0, selections = 0;
    std::set<std::string> filters;
    for (const auto& row : readExpectedRows("display-filters.tshark.tsv", 4)) {
        const std::string& capture = row[0];
        if (capture == kDifferentPacketCount) continue;
        if (!captures.contains(capture)) captures[capture] = readPackets(capturePath(capture));
        auto& predicate = predicates[row[1]];
        if (!predicate) predicate = NSPredicate::predicateWithFormat(row[1]);
        std::vector<std::string> ours;
        for (const auto& packet : PacketFilterEngine().apply(*predicate, captures[capture]))
            ours.push_back(std::to_string(packet->packetId()));
        const std::vector<std::string> theirs = row[3].empty() ? std::vector<std::string>{} : split(row[3], ',');
        EXPECT_EQ(ours, theirs) << capture << ": " << row[1] << " against tshark's " << row[2];
        ++compared;
        selections += theirs.size();
        filters.insert(row[1]);
    }
    EXPECT_GE(filters.size(), 10u);
    EXPECT_GT(compared, 300u);
    EXPECT_GT(selections, 1000u);  // the filters select something on these captures
}

}  // namespace
}  // namespace qor::test
