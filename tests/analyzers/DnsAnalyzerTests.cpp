// Tests of the DNS analyzer: messages, name compression, TCP framing and hostile names.

#include <gtest/gtest.h>

#include "AnalyzerRows.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

AnalyzerHarness& harness() { return AnalyzerHarness::shared(); }

constexpr std::size_t kDnsHeaderSize = 12;

/// "example.com" as labels.
void exampleCom(Bytes& b) { b.u8(7).raw("example").u8(3).raw("com").u8(0); }

Data query(std::uint16_t id, std::uint16_t type = 1) {
    Bytes b(true);
    b.u16(id).u16(0x0100).u16(1).u16(0).u16(0).u16(0);
    exampleCom(b);
    b.u16(type).u16(1);
    return b.data();
}

Data response(std::uint16_t id, std::uint16_t rcode = 0) {
    Bytes b(true);
    b.u16(id).u16(static_cast<std::uint16_t>(0x8180 | rcode)).u16(1).u16(rcode ? 0 : 3).u16(0).u16(0);
    exampleCom(b);
    b.u16(1).u16(1);
    if (rcode == 0) {
        b.u16(0xC00C).u16(5).u16(1).u32(300).u16(6).u8(3).raw("www").u16(0xC00C);              // CNAME www.example.com
        b.u16(0xC00C).u16(1).u16(1).u32(300).u16(4).raw({93, 184, 216, 34});                  // A
        b.u16(0xC00C).u16(28).u16(1).u32(300).u16(16).raw({0x26, 0x06, 0x28, 0, 0x02, 0x20, 0, 1, 0x2, 0x48, 0x18, 0x93,
                                                            0x25, 0xc8, 0x19, 0x46});        // AAAA
    }
    return b.data();
}

// Summary lines of A queries and of responses with CNAME, A and NS records are compared with
// tshark on udp_dns_request_response.pcap; the length prefix over TCP by the cut sweep below.
TEST(DnsAnalyzer, AnswersItsKeysAndSummarisesReplyCodes) {
    auto q = query(0x1234), r = response(0x1234);
    expectRows("DnsAnalyzer",
               {{"A query", q, static_cast<long>(q.size()), "", -1, nullptr,
                 {{"dnsQueryName", q, "example.com"}, {"dnsQueryType", q, "A"}, {"dnsId", q, "4660"}}},
                {"response", r, -1, nullptr, -1, nullptr,
                 {{"dnsAnswers", r, "CNAME www.example.com, A 93.184.216.34, AAAA 2606:2800:220:1:248:1893:25c8:1946"}}, true},
                {"no such name", response(0x0042, 3), -1, nullptr, -1, "Standard query response 0x0042 No such name A example.com"}});
    EXPECT_EQ(harness().make("DnsAnalyzer", q)->value("dnsIsResponse", r).asBool(), true);
}

TEST(DnsAnalyzer, CompressionLoopsPointerChainsLyingCountsAndCutMessagesEnd) {
    Bytes self(true), pair(true), chain(true), counts(true);
    // A question whose name points at itself; two names pointing at each other.
    self.u16(1).u16(0x0100).u16(1).u16(0).u16(0).u16(0).u16(0xC00C).u16(1).u16(1);
    pair.u16(2).u16(0x8180).u16(1).u16(1).u16(0).u16(0).u16(0xC00E).u16(0xC00C).u16(1).u16(1);
    // A long chain of pointers, each to the next, ending in the root: more jumps than allowed.
    chain.u16(3).u16(0x0100).u16(1).u16(0).u16(0).u16(0);
    for (int i = 0; i < 200; ++i) chain.u16(static_cast<std::uint16_t>(0xC000 | (12 + 2 * (i + 1))));
    chain.u8(0).u16(1).u16(1);
    // Counts that promise more records than there are bytes.
    counts.u16(4).u16(0x8180).u16(0xFFFF).u16(0xFFFF).u16(0xFFFF).u16(0xFFFF);
    auto r = response(0x1234);
    expectRows("DnsAnalyzer", {{"self pointer", self.data(), -1, nullptr, -1, "Standard query 0x0001", {{"dnsQueryName", self.data(), "<none>"}}, true},
                               {"pointer pair", pair.data(), -1, nullptr, -1, "Standard query response 0x0002"},
                               {"pointer chain", chain.data(), -1, nullptr, -1, "Standard query 0x0003"},
                               {"lying counts", counts.data(), -1, nullptr, -1, "Standard query response 0x0004"},
                               {"cut after the question", r.slice(0, 40), 40, nullptr, -1,
                                "Standard query response 0x1234 A example.com"},
                               {"cut inside the header", r.slice(0, 5), -1, nullptr, -1, "", {}, true}});
}

/// A response whose sections hold records of every kind the summary line treats apart: data
/// shown (MX, SRV, AAAA, NS with a label byte that is not printable), data not shown (TXT, OPT), and
/// data that does not read as its type (an A record of five bytes, shown as hex). `ends` gets
/// where the question and each record end, with the summary part each adds.
Data mixedResponse(std::vector<std::pair<std::size_t, std::string>>& ends) {
    Bytes b(true);
    b.u16(0xbeef).u16(0x8180).u16(1).u16(4).u16(1).u16(2);
    auto ended = [&](std::string part) { ends.emplace_back(b.size(), std::move(part)); };
    exampleCom(b);
    b.u16(1).u16(1);
    ended(" A example.com");
    b.u16(0xC00C).u16(15).u16(1).u32(60).u16(9).u16(10).u8(4).raw("mail").u16(0xC00C);
    ended(" MX 10 mail.example.com");
    b.u16(0xC00C).u16(33).u16(1).u32(60).u16(12).u16(0).u16(5).u16(5060).u8(3).raw("sip").u16(0xC00C);
    ended(" SRV 0 5 5060 sip.example.com");
    b.u16(0xC00C).u16(28).u16(1).u32(60).u16(16).raw({0x26, 0x06, 0x28, 0, 0x02, 0x20, 0, 1, 0x2, 0x48, 0x18, 0x93, 0x25, 0xc8, 0x19, 0x46});
    ended(" AAAA 2606:2800:220:1:248:1893:25c8:1946");
    b.u16(0xC00C).u16(1).u16(1).u32(60).u16(5).raw({1, 2, 3, 4, 5});
    ended(" A 0102030405");
    b.u16(0xC00C).u16(2).u16(1).u32(60).u16(6).u8(3).raw({'a', 1, 'b'}).u16(0xC00C);
    ended(" NS a\\001b.example.com");
    b.u16(0xC00C).u16(16).u16(1).u32(60).u16(4).u8(3).raw("v=1");
    ended(" TXT");
    b.u8(0).u16(41).u16(512).u32(0).u16(0);
    ended(" OPT");
    return b.data();
}

TEST(DnsAnalyzer, SummaryListsEveryQuestionAndRecordHeldWholeWhereverTheMessageIsCut) {
    std::vector<std::pair<std::size_t, std::string>> ends;
    const Data message = mixedResponse(ends);
    ASSERT_EQ(ends.back().first, message.size());
    std::vector<std::string> infos;
    std::vector<AnalyzerRow> rows;
    infos.reserve(2 * message.size() + 2);
    for (std::size_t cut = 0; cut <= message.size(); ++cut) {
        std::string info = cut < kDnsHeaderSize ? "" : "Standard query response 0xbeef";
        for (const auto& [end, part] : ends)
            if (end <= cut) info += part;
        infos.push_back(info);
        rows.push_back({"bare", message.slice(0, cut), -1, nullptr, -1, infos.back().c_str()});
        // Over TCP, the first segment of a message whose prefix promises all of it, or the
        // whole message after its prefix.
        if (cut >= ends.front().first) {
            Bytes framed(true);
            framed.u16(static_cast<std::uint16_t>(message.size())).raw(message.slice(0, cut));
            infos.push_back(info);
            const long size = cut == message.size() ? static_cast<long>(cut + 2) : -1;
            rows.push_back({"framed", framed.data(), size, nullptr, -1, infos.back().c_str()});
        }
    }
    expectRows("DnsAnalyzer", rows);
}

TEST(DnsAnalyzer, SummaryStopsAtTheRecordLimit) {
    // One question and 600 answers: the reading keeps 512 questions and records in all.
    Bytes b(true);
    b.u16(9).u16(0x8180).u16(1).u16(600).u16(0).u16(0);
    exampleCom(b);
    b.u16(1).u16(1);
    for (int i = 0; i < 600; ++i) b.u16(0xC00C).u16(1).u16(1).u32(60).u16(4).raw({10, 0, 0, 1});
    auto info = harness().make("DnsAnalyzer", b.data())->protocolInfo(b.data());
    ASSERT_TRUE(info);
    std::size_t answers = 0;
    for (auto at = info->find(" A 10.0.0.1"); at != std::string::npos; at = info->find(" A 10.0.0.1", at + 1)) ++answers;
    EXPECT_EQ(answers, 511u);
    EXPECT_TRUE(info->starts_with("Standard query response 0x0009 A example.com A 10.0.0.1"));
}

}  // namespace
}  // namespace qor::test
