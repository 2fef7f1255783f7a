// Packets of real captures analysed again after the clear-analysis notification has emptied every
// packet's analyzer cache (packets analysed on several threads at once are compared with one
// thread's analysis by the packet-window tests).

#include <gtest/gtest.h>

#include "AnalyzerHarness.hpp"
#include "QORDependencies/Enumerations.hpp"
#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/NotificationCenter.hpp"

namespace qor::test {
namespace {

/// What analysis made of a packet: its chain, summary line and addresses.
std::string describe(const QORPacket& p) {
    std::string out = chainHistory(p);  // analyses the packet: the history below is written by it
    out += "|" + p.packetProtocolHistory().value_or("") + "|" + p.packetInfoOverview();
    out += "|" + p.packetSourceString().value_or("") + "|" + p.packetDestinationString().value_or("");
    for (const auto& a : p.cachedAnalyzers().value_or(AnalyzerChain{})) out += "|" + a->protocolInfo().value_or("");
    return out;
}

TEST(ClearAnalysis, TheNotificationDropsEveryAnalysisAndTheNextRequestAnalysesAgain) {
    std::vector<Capture> captures;  // every packet of the captures, freshly read
    PacketList packets;
    for (const char* name : {"many_interfaces-1.pcapng", "linux_dlt_sll2.pcap", "vlan-pcp-dei.pcapng", "tls_nss_example.pcap"}) {
        captures.push_back(readCapture(name));
        packets.insert(packets.end(), captures.back().packets.begin(), captures.back().packets.end());
    }
    ASSERT_FALSE(packets.empty());
    std::vector<std::string> before;
    for (const auto& p : packets) {
        ASSERT_GT(p->cachedAnalyzers().value_or(AnalyzerChain{}).size(), 1u) << "packet " << p->packetId() << " was not analysed by the plug-in";
        EXPECT_FALSE(p->cacheManager()->isEmpty());
        before.push_back(describe(*p));
    }
    NotificationCenter::defaultCenter().post(std::string(rawValue(QORProtocolKonstants::kQORClearAnalyzingCache)));
    for (const auto& p : packets) {
        EXPECT_TRUE(p->cacheManager()->isEmpty()) << "packet " << p->packetId();
        EXPECT_TRUE(p->cacheManager()->analyzersCache().empty()) << "packet " << p->packetId();
    }
    // The next request walks the chain again and stores it.
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(describe(*packets[i]), before[i]);
        EXPECT_FALSE(packets[i]->cacheManager()->isEmpty());
    }
}

}  // namespace
}  // namespace qor::test
