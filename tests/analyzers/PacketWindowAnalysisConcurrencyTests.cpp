// Reading and analysing a capture window by window gives each packet exactly the analysis the
// document path gives it, in file order, and keeps nothing after its window.
//
// Packets of real captures are analysed again after the clear-analysis notification has emptied
// every packet's analyzer cache.

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "AnalyzerHarness.hpp"
#include "QORCommonTools/FileHelpers.hpp"
#include "QORDependencies/Enumerations.hpp"
#include "QORModels/analysis/PacketWindowAnalysis.hpp"
#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/NotificationCenter.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

/// What a listing shows of a packet.
struct Shown {
    std::int64_t id = 0;
    std::optional<std::string> protocol, history, source, destination;
    std::string info;
    friend bool operator==(const Shown&, const Shown&) = default;
};

Shown shown(const QORPacket& p) {
    return Shown{p.packetId(), p.packetProtocol(), p.packetProtocolHistory(), p.packetSourceString(), p.packetDestinationString(),
                 p.packetInfoOverview()};
}

class PacketWindowAnalysisTest : public ::testing::TestWithParam<const char*> {};

TEST_P(PacketWindowAnalysisTest, EveryPacketOnceInFileOrderAsTheDocumentShowsIt) {
    AnalyzerHarness::shared();
    auto document = readCapture(GetParam());
    std::vector<Shown> expected;
    for (const auto& p : document.packets) {
        (void)p->analyse();
        expected.push_back(shown(*p));
    }

    auto bytes = mapFile(capturePath(GetParam()));
    ASSERT_TRUE(bytes);
    constexpr std::size_t kWindow = 3;  // small, so that every capture spans several windows
    std::mutex lock;
    std::map<std::int64_t, Shown> seenOnWorkers;
    std::vector<Shown> inOrder;
    std::vector<std::weak_ptr<QORPacket>> dropped;
    PacketWindowAnalysis::Options options;
    options.windowSize = kWindow;
    options.fileURL = capturePath(GetParam());
    auto result = PacketWindowAnalysis::run(
        *bytes,
        [&](QORPacket& packet, std::size_t slot) {
            EXPECT_LT(slot, kWindow);
            auto s = shown(packet);
            std::lock_guard guard(lock);
            EXPECT_TRUE(seenOnWorkers.emplace(s.id, s).second) << "packet " << s.id << " visited twice";
        },
        [&](std::span<const std::shared_ptr<QORPacket>> window) {
            EXPECT_LE(window.size(), kWindow);
            for (const auto& p : window) {
                inOrder.push_back(shown(*p));
                dropped.push_back(p);
            }
            return true;
        },
        options);

    EXPECT_EQ(result.packetCount, expected.size());
    ASSERT_EQ(inOrder.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(inOrder[i], expected[i]) << "packet " << i + 1;
        EXPECT_EQ(seenOnWorkers.at(expected[i].id), expected[i]) << "packet " << i + 1;
    }
    for (const auto& weak : dropped) EXPECT_TRUE(weak.expired()) << "a packet outlived its window";
}

/// A pass with no analysis and no packet visitor makes its packets on the calling thread: each
/// shown packet has its record's header values and bytes, as the document's packet has them.
TEST_P(PacketWindowAnalysisTest, WithoutWorkEachPacketCarriesItsRecord) {
    AnalyzerHarness::shared();
    auto document = readCapture(GetParam());
    auto bytes = mapFile(capturePath(GetParam()));
    ASSERT_TRUE(bytes);
    PacketWindowAnalysis::Options options;
    options.windowSize = 4;
    options.analyse = false;
    options.fileURL = capturePath(GetParam());
    std::size_t at = 0;
    PacketWindowAnalysis::run(
        *bytes, nullptr,
        [&](std::span<const std::shared_ptr<QORPacket>> window) {
            for (const auto& p : window) {
                if (at >= document.packets.size()) {
                    ADD_FAILURE() << "more packets than the document has";
                    return false;
                }
                const QORPacket& expected = *document.packets[at++];
                EXPECT_EQ(p->packetId(), expected.packetId());
                EXPECT_EQ(p->dataLocation(), expected.dataLocation());
                EXPECT_EQ(p->captureLength(), expected.captureLength());
                EXPECT_EQ(p->realLength(), expected.realLength());
                EXPECT_EQ(p->linkType(), expected.linkType());
                EXPECT_EQ(p->dateReceived(), expected.dateReceived());
                EXPECT_EQ(p->pcapngInterfaceIndex(), expected.pcapngInterfaceIndex());
                EXPECT_EQ(p->data(), expected.data()) << "packet " << at;
                EXPECT_EQ(p->packetTime(), expected.packetTime());
            }
            return true;
        },
        options);
    EXPECT_EQ(at, document.packets.size());
}

INSTANTIATE_TEST_SUITE_P(Captures, PacketWindowAnalysisTest,
                         ::testing::Values("nb6-http.pcap", "many_interfaces-1.pcapng", "vlan-pcp-dei.pcapng", "suricata-pppoe.pcap",
                                           "GrePackets.cap", "l2tp-avp-overflow.pcap", "linux_dlt_sll2.pcap",
                                           "tls_nss_example.pcap"));

/// Shown while the next window analyses, a window's results stay in their slots until the
/// window visitor has read them: the workers write the next window into the other half of the
/// slots. A visitor that says stop gets no further window, though the next one was analysed.
TEST(PacketWindowAnalysis, AWindowShownWhileTheNextAnalysesFindsItsResultsInItsSlots) {
    AnalyzerHarness::shared();
    auto bytes = mapFile(capturePath("suricata-pppoe.pcap"));
    ASSERT_TRUE(bytes);
    const std::size_t total = readCapture("suricata-pppoe.pcap").packets.size();
    for (std::size_t window : {1u, 3u, 7u}) {
        for (std::size_t stopAfter : {std::size_t{0}, std::size_t{2}}) {  // 0: read to the end
            std::vector<std::int64_t> slots(2 * window, -1);
            std::size_t shownPackets = 0, windows = 0;
            PacketWindowAnalysis::Options options;
            options.windowSize = window;
            options.showDuringNextWindow = true;
            options.fileURL = capturePath("suricata-pppoe.pcap");
            PacketWindowAnalysis::run(
                *bytes,
                [&](QORPacket& packet, std::size_t slot) {
                    ASSERT_LT(slot, slots.size());
                    EXPECT_EQ(slot, static_cast<std::size_t>(packet.packetId() - 1) % slots.size());
                    slots[slot] = packet.packetId();
                },
                [&](std::span<const std::shared_ptr<QORPacket>> shown) {
                    const std::size_t base = shownPackets % slots.size();
                    for (std::size_t i = 0; i < shown.size(); ++i) {
                        EXPECT_EQ(shown[i]->packetId(), static_cast<std::int64_t>(shownPackets + i + 1));
                        EXPECT_EQ(slots[base + i], shown[i]->packetId()) << "window " << window;
                        slots[base + i] = -1;
                    }
                    shownPackets += shown.size();
                    return ++windows != stopAfter;
                },
                options);
            EXPECT_EQ(shownPackets, stopAfter == 0 ? total : stopAfter * window) << "window " << window;
        }
    }
}

/// A listing takes its summary and addresses from the analyzers the analysis made; they must be
/// the texts the packet's accessors give, whatever the chain's shape (tunnels carry a second IP
/// header, cooked links start with another analyzer, some chains end in an analyzer that names
/// a protocol no analyzer takes), and a packet analysed before answers the same again.
TEST(ListingTexts, AreTheTextsOfTheSummaryAndEndpointAccessors) {
    AnalyzerHarness::shared();
    std::size_t compared = 0;
    for (const char* name : {"nb6-http.pcap", "ipv6_http.pcap", "udp_dns_request_response.pcap", "GrePackets.cap",
                             "l2tp-avp-overflow.pcap", "suricata-pppoe.pcap", "RADIUS.pcap", "dhcp-rfc3004.pcap", "tls1_3.pcap",
                             "LinuxCookedCapture.pcap", "linux_dlt_sll2.pcap", "many_interfaces-1.pcapng"}) {
        auto listed = readCapture(name);
        auto accessed = readCapture(name);
        ASSERT_EQ(listed.packets.size(), accessed.packets.size()) << name;
        for (std::size_t i = 0; i < listed.packets.size(); ++i) {
            const QORPacket& viaAccessors = *accessed.packets[i];
            (void)viaAccessors.analyse();
            const auto [source, destination] = viaAccessors.packetEndpointStrings();
            const std::string summary = viaAccessors.packetInfoOverview();
            for (int pass = 0; pass < 2; ++pass) {  // the first pass analyses, the second reads back
                const auto texts = listed.packets[i]->listingTexts();
                EXPECT_EQ(texts.summary, summary) << name << " packet " << i + 1 << " pass " << pass;
                EXPECT_EQ(texts.source, source) << name << " packet " << i + 1 << " pass " << pass;
                EXPECT_EQ(texts.destination, destination) << name << " packet " << i + 1 << " pass " << pass;
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 100u);
}

TEST(PacketWindowAnalysis, BytesInMemoryStayIntactAndAVisitorThatSaysNoStopsTheRead) {
    AnalyzerHarness::shared();
    auto mapped = mapFile(capturePath("one_http_stream_fin.pcap"));
    ASSERT_TRUE(mapped);
    const Data inMemory = Data::copy(mapped->span());  // not a file mapping: must stay intact
    for (bool goOn : {true, false}) {
        PacketWindowAnalysis::Options options;
        options.windowSize = goOn ? 2 : 4;
        std::size_t windows = 0, packets = 0;
        auto result = PacketWindowAnalysis::run(
            inMemory, {}, [&](std::span<const std::shared_ptr<QORPacket>> w) { return ++windows, (packets += w.size()), goOn; }, options);
        EXPECT_EQ(packets, goOn ? 15u : 4u);
        if (!goOn) {
            EXPECT_EQ(windows, 1u);
            EXPECT_FALSE(result.issue);
        }
    }
    EXPECT_EQ(inMemory, *mapped);
}

TEST(AnalysedAddresses, SettingOneAddressKeepsTheOtherAsAnalysisRenderedIt) {
    AnalyzerHarness::shared();
    auto capture = readCapture("one_http_stream_fin.pcap");
    auto& packet = *capture.packets.front();
    ASSERT_TRUE(packet.analyse());
    const std::string source = packet._packetIPSrc(), destination = packet._packetIPDst();
    ASSERT_FALSE(source.empty());
    ASSERT_FALSE(destination.empty());
    packet.set_packetIPSrc("192.0.2.1");
    EXPECT_EQ(packet._packetIPSrc(), "192.0.2.1");
    EXPECT_EQ(packet._packetIPDst(), destination);
    packet.redissect();  // analysing again does not take the addresses back: the packet is already IPv4
    EXPECT_EQ(packet._packetIPSrc(), "192.0.2.1");
}

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
