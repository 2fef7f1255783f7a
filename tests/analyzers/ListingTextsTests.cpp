// A listing that lets each packet go once it is shown reads its texts from a walk it does not
// keep: the texts must be those of the analysis a kept listing stores, and the packets must stay
// unanalysed. Every capture of the fixtures is read twice, by the library's reader, and listed
// both ways through the loaded plug-in.

#include <gtest/gtest.h>

#include "AnalyzerHarness.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor::test {
namespace {

TEST(ListingTexts, AWalkNotKeptGivesTheTextsOfTheKeptAnalysisAndStoresNothing) {
    AnalyzerHarness::shared();
    std::size_t compared = 0, storedByOnce = 0, analysedToAnotherProtocol = 0;
    for (const auto& name : fixtureCaptures()) {
        const auto once = readCapture(name).packets;
        const auto kept = readCapture(name).packets;
        ASSERT_EQ(once.size(), kept.size()) << name;
        for (std::size_t i = 0; i < once.size(); ++i) {
            const std::string where = name + " packet " + std::to_string(i + 1);
            // Before analysis a packet's protocol is its link type's name.
            const InternedString unanalysed = once[i]->packetProtocolInterned();
            const auto a = once[i]->listingTexts(QORPacket::ListingAnalysis::once);
            const auto b = kept[i]->listingTexts(QORPacket::ListingAnalysis::keep);
            EXPECT_EQ(a.summary, b.summary) << where;
            EXPECT_EQ(a.source, b.source) << where;
            EXPECT_EQ(a.destination, b.destination) << where;
            EXPECT_EQ(a.protocol, b.protocol) << where;
            EXPECT_EQ(b.protocol, kept[i]->packetProtocolInterned()) << where << ": the kept analysis is the packet's";
            if (b.protocol != unanalysed) {
                ++analysedToAnotherProtocol;
                if (once[i]->packetProtocolInterned() != unanalysed) ++storedByOnce;
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 500u);
    // Most packets name a protocol other than their link type once analysed, so a walk that
    // stored its analysis would show; only the rare packet whose texts need the stored chain
    // (an address no header of the walk gave) is analysed and kept.
    EXPECT_GT(analysedToAnotherProtocol, compared / 2);
    EXPECT_LT(storedByOnce * 100, analysedToAnotherProtocol) << storedByOnce << " packets kept an analysis";
}

}  // namespace
}  // namespace qor::test
