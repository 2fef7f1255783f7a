// Tests of the DNS analyzer: messages, name compression, TCP framing and hostile names.

#include <gtest/gtest.h>

#include "AnalyzerRows.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

AnalyzerHarness& harness() { return AnalyzerHarness::shared(); }

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

TEST(DnsAnalyzer, SummarisesQueriesAndResponsesAsTheInfoColumnDoes) {
    auto q = query(0x1234), r = response(0x1234);
    expectRows("DnsAnalyzer",
               {{"A query", q, static_cast<long>(q.size()), "", -1, "Standard query 0x1234 A example.com",
                 {{"dnsQueryName", q, "example.com"}, {"dnsQueryType", q, "A"}, {"dnsId", q, "4660"}}},
                {"response", r, -1, nullptr, -1,
                 "Standard query response 0x1234 A example.com CNAME www.example.com A 93.184.216.34 "
                 "AAAA 2606:2800:220:1:248:1893:25c8:1946",
                 {{"dnsAnswers", r, "CNAME www.example.com, A 93.184.216.34, AAAA 2606:2800:220:1:248:1893:25c8:1946"}}, true},
                {"no such name", response(0x0042, 3), -1, nullptr, -1, "Standard query response 0x0042 No such name A example.com"},
                {"AAAA query", query(7, 28), -1, nullptr, -1, "Standard query 0x0007 AAAA example.com"}});
    auto a = harness().make("DnsAnalyzer", q);
    EXPECT_FALSE(a->hasPayload());
    EXPECT_EQ(a->value("dnsIsResponse", r).asBool(), true);
}

TEST(DnsAnalyzer, ReadsTheLengthPrefixOverTcp) {
    auto message = response(0x00ab);
    Bytes framed(true);
    framed.u16(static_cast<std::uint16_t>(message.size())).raw(message);
    expectRows("DnsAnalyzer", {{"length-prefixed", framed.data(), static_cast<long>(message.size() + 2), nullptr, -1,
                                 "Standard query response 0x00ab A example.com CNAME www.example.com A 93.184.216.34 "
                                 "AAAA 2606:2800:220:1:248:1893:25c8:1946",
                                 {{"dnsQueryName", framed.data(), "example.com"}}}});
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

}  // namespace
}  // namespace qor::test
