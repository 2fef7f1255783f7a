// The clear-analysis notification over packets analysed by the standard plug-in: every packet's
// analyzer cache empties, and the packet's next request analyses it again.

#include <gtest/gtest.h>

#include "AnalyzerHarness.hpp"
#include "QORDependencies/Enumerations.hpp"
#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORPlatform/NotificationCenter.hpp"

namespace qor::test {
namespace {

std::vector<std::string> names(const AnalyzerChain& chain) {
    std::vector<std::string> out;
    for (const auto& a : chain) out.push_back(a->protocolName().value_or("<none>"));
    return out;
}

TEST(ClearAnalysis, TheNotificationDropsEveryAnalysisAndTheNextRequestAnalysesAgain) {
    auto capture = readCapture("one_http_stream_fin.pcap");
    auto other = readCapture("many_interfaces-1.pcapng");
    auto packets = capture.packets;
    packets.insert(packets.end(), other.packets.begin(), other.packets.end());
    ASSERT_FALSE(packets.empty());

    std::vector<std::vector<std::string>> before;
    std::vector<std::string> summaries;
    for (const auto& p : packets) {
        auto chain = p->cachedAnalyzers();
        ASSERT_TRUE(chain);
        ASSERT_GT(chain->size(), 1u) << "packet " << p->packetId() << " was not analysed by the plug-in";
        EXPECT_FALSE(p->cacheManager()->isEmpty());
        before.push_back(names(*chain));
        summaries.push_back(p->packetInfoOverview());
    }

    NotificationCenter::defaultCenter().post(std::string(rawValue(QORProtocolKonstants::kQORClearAnalyzingCache)));

    for (const auto& p : packets) {
        EXPECT_TRUE(p->cacheManager()->isEmpty()) << "packet " << p->packetId();
        EXPECT_TRUE(p->cacheManager()->analyzersCache().empty()) << "packet " << p->packetId();
    }
    for (std::size_t i = 0; i < packets.size(); ++i) {
        // The next request walks the chain again and stores it.
        auto again = packets[i]->cachedAnalyzers();
        ASSERT_TRUE(again);
        EXPECT_FALSE(packets[i]->cacheManager()->isEmpty());
        EXPECT_EQ(names(*again), before[i]);
        EXPECT_EQ(packets[i]->packetInfoOverview(), summaries[i]);
    }
}

}  // namespace
}  // namespace qor::test
