// Analyzers of many packets run on several threads at once, as background analysis does.

#include <gtest/gtest.h>

#include <thread>

#include "AnalyzerHarness.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

TEST(AnalyzerConcurrency, ChainsBuiltOnSeveralThreadsAgreeWithOneThread) {
    auto& harness = AnalyzerHarness::shared();
    std::vector<CapturedPacket> packets;
    for (const char* capture : {"many_interfaces-1.pcapng", "linux_dlt_sll2.pcap", "vlan-pcp-dei.pcapng", "tls_nss_example.pcap"})
        for (auto& p : readCapture(readFile(capturePath(capture)))) packets.push_back(p);
    ASSERT_FALSE(packets.empty());

    auto describe = [&](const CapturedPacket& p) {
        auto link = ProtocolsStringsCache::sharedCache().linkTypeStringForKey(std::to_string(p.linkType)).value_or("");
        auto steps = harness.walk(link, p.bytes, packetWith(p.linkType, p.bytes));
        std::string out = history(steps);
        for (const auto& s : steps) {
            out += "|" + s.analyzer->protocolInfo(s.bytes).value_or("");
            out += "|" + std::to_string(s.analyzer->protocolNodes(s.bytes).size());
        }
        return out;
    };
    std::vector<std::string> expected;
    for (const auto& p : packets) expected.push_back(describe(p));

    constexpr int kThreads = 4;
    std::vector<std::vector<std::string>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (const auto& p : packets) results[t].push_back(describe(p));
        });
    for (auto& thread : threads) thread.join();
    for (const auto& r : results) EXPECT_EQ(r, expected);
}

}  // namespace
}  // namespace qor::test
