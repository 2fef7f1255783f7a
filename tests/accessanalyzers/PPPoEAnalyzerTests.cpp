// PPPoE discovery and session analyzers, on frames built byte by byte.

#include "QORModels/analysis/QORNode.hpp"
#include "accessanalyzers/AccessTestSupport.hpp"

namespace qor::test::access {
namespace {

/// A PPPoE header (version 1, type 1) with the tags or payload after it; the length field is
/// `claimed` when given, else the real payload length.
Data pppoe(std::uint8_t code, std::uint16_t session, const Bytes& payload, std::optional<std::uint16_t> claimed = {}) {
    Bytes b(true);
    b.u8(0x11).u8(code).u16(session).u16(claimed.value_or(static_cast<std::uint16_t>(payload.size()))).raw(payload.data());
    return b.data();
}

TEST(PPPoEAnalyzers, ReadAPADOWithItsTagsAtTopLevelAndCarryPPPInSessions) {
    Bytes tags(true);
    tags.u16(0x0101).u16(0);                                  // empty Service-Name
    tags.u16(0x0102).u16(9).raw("BRAS-west");                 // AC-Name
    tags.u16(0x0103).u16(4).raw({0xde, 0xad, 0xbe, 0xef});    // Host-Uniq
    tags.u16(0x0104).u16(2).raw({0x01, 0x02});                // AC-Cookie
    auto frame = pppoe(0x07, 0, tags);
    Bytes ppp(true);
    ppp.u16(0xC021).raw({0x09, 0x01, 0x00, 0x08, 0x11, 0x22, 0x33, 0x44});
    expectAccessRows({
        {"PPPoEDiscoveryAnalyzer", frame, "PADO (Active Discovery Offer), AC-Name: BRAS-west",
         {{"Code", "PADO (0x07)"}, {"Session ID", "0x0000"}, {"AC-Name", "BRAS-west"}, {"Service-Name", ""}, {"Host-Uniq", "deadbeef"},
          {"AC-Cookie", "0102"}},
         {}, static_cast<long>(6 + tags.size()), "", {{"pppoedACName", "BRAS-west"}}},
        {"PPPoEDiscoveryAnalyzer", pppoe(0xA7, 0x1234, Bytes(true)), "PADT (Active Discovery Terminate), session 0x1234"},
        {"PPPoESessionAnalyzer", pppoe(0x00, 0x3b1a, ppp), "Session 0x3b1a, 10 bytes",
         {{"Session ID", "0x3b1a"}, {"Code", "Session Data (0x00)"}}, {}, 6, "PPP"},
        {"PPPoESessionAnalyzer", pppoe(0x00, 1, Bytes(true)), nullptr, {}, {}, -1, ""},  // empty: carries nothing
    });
    // The AC-Name row covers its tag: 4 bytes of header after the 6-byte PPPoE header and the
    // 4-byte empty Service-Name.
    for (const auto& n : make("PPPoEDiscoveryAnalyzer", frame)->protocolNodes(frame)) {
        if (n->nodeName() != "AC-Name") continue;
        auto node = std::dynamic_pointer_cast<QORNode>(n);
        ASSERT_TRUE(node);
        EXPECT_EQ(node->headerLocation(), 10);
        EXPECT_EQ(node->headerLength(), 13);
    }
}

TEST(PPPoEDiscoveryAnalyzer, HostileTagAndPayloadLengthsKeepToTheBytesThere) {
    // A tag that claims 200 bytes where 1 is there ends the tag walk.
    Bytes tags(true);
    tags.u16(0x0102).u16(3).raw("abc");
    tags.u16(0x0101).u16(200).raw("x");
    // A payload length past the frame.
    Bytes ab(true);
    ab.u16(0x0102).u16(2).raw("ab");
    auto past = pppoe(0x07, 0, ab, 1000);
    expectAccessRows({{"PPPoEDiscoveryAnalyzer", pppoe(0x07, 0, tags), nullptr, {{"AC-Name", "abc"}, {"Malformed Tag", nullptr}}, {"Service-Name"}},
                      {"PPPoEDiscoveryAnalyzer", past, nullptr, {{"Truncated", nullptr}, {"AC-Name", "ab"}}, {}, static_cast<long>(past.size())}});

    expectRefused("PPPoEDiscoveryAnalyzer", {bytes({0x11, 0x09, 0, 0, 0})});
    expectRefused("PPPoESessionAnalyzer", {bytes({0x11, 0x00, 0, 1})});
}

TEST(PPPoEChain, ASessionFrameReadsEthernetPPPoESPPPLCP) {
    Bytes frame(true);
    frame.raw({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}).u16(0x8864);
    Bytes ppp(true);
    ppp.u16(0xC021).raw({0x01, 0x07, 0x00, 0x0e, 0x01, 0x04, 0x05, 0xd4, 0x05, 0x06, 0x12, 0x34, 0x56, 0x78});
    frame.raw(pppoe(0, 0x0011, ppp)).zeros(20);  // Ethernet padding after the PPPoE payload
    AnalyzerHarness::shared();  // the packet is analysed by the loaded plug-in, as a packet of a file
    auto packet = packetWith(1, frame.data());
    packet->setFilePath(std::filesystem::path("frame.pcap"));
    auto chain = layersOf(*packet);
    EXPECT_EQ(packet->packetProtocolHistory(), "ETH-PPPoES-PPP-LCP");
    ASSERT_EQ(chain.size(), 4u);
    // The LCP packet ends at its Length; the padding is not read as options.
    EXPECT_EQ(chain[3].analyzer->protocolSize(), 14);
    auto nodes = chain[3].analyzer->protocolNodes(chain[3].bytes);
    EXPECT_EQ(topLevelValue(nodes, "Maximum-Receive-Unit (MRU)"), "1492");
    EXPECT_EQ(topLevelValue(nodes, "Magic-Number"), "12345678");
    EXPECT_FALSE(topLevelValue(nodes, "Malformed Option"));
}

}  // namespace
}  // namespace qor::test::access
