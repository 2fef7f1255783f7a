// The port-to-protocol map, the port validators, the analyzer port store and the packets provider.

#include <gtest/gtest.h>

#include "FakeAnalyzers.hpp"
#include "QORModels/analysis/AnalyzerPortsStore.hpp"
#include "QORModels/analysis/PacketsProvider.hpp"
#include "QORModels/analysis/QORPortsController.hpp"
#include "QORModels/support/Validators.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORPlatform/UserDefaults.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

constexpr std::int8_t kTCP = 1, kUDP = 2, kBoth = 3;

QORPortsController freshPorts() { return QORPortsController({{"53", "domain"}, {"80", "http"}}); }

TEST(PortsController, AnalyzerAssignmentPerTransportWithWellKnownFallback) {
    auto ports = freshPorts();
    EXPECT_TRUE(ports.addAnalyzerProtocol(std::string("DNS"), 53, kUDP));
    EXPECT_EQ(ports.udpProtocolForPort(53), "DNS");
    EXPECT_EQ(ports.tcpProtocolForPort(53), "domain");
    EXPECT_EQ(ports.protocolForPort(53, kTCP), "domain");
    EXPECT_EQ(ports.analyzerProtocolForPort(53, kBoth), "DNS");
    EXPECT_FALSE(ports.analyzerTCPProtocolForPort(53));
    EXPECT_FALSE(ports.protocolForPort(9, kBoth));
    // An absent name changes nothing.
    EXPECT_FALSE(ports.addAnalyzerProtocol(std::nullopt, 80, kTCP));
    ports.addProtocol(std::nullopt, 80, kTCP);
    EXPECT_TRUE(ports.analyzerTcpPorts().empty());
    EXPECT_EQ(ports.tcpProtocolForPort(80), "http");
}

TEST(PortsController, OtherSourceCodesUseBothTransportsAndPreferTCP) {
    auto ports = freshPorts();
    ports.addAnalyzerProtocol(std::string("BOTH"), 7000, kBoth);
    EXPECT_EQ(ports.analyzerTCPProtocolForPort(7000), "BOTH");
    EXPECT_EQ(ports.analyzerUDPProtocolForPort(7000), "BOTH");
    ports.addAnalyzerProtocol(std::string("UDPONLY"), 7000, kUDP);
    EXPECT_EQ(ports.analyzerProtocolForPort(7000, 0), "BOTH");
    EXPECT_TRUE(ports.removeAnalyzerProtocolForPort(7000, 0));
    EXPECT_TRUE(ports.analyzerTcpPorts().empty());
    EXPECT_TRUE(ports.analyzerUdpPorts().empty());
    ports.addProtocol(std::string("svc"), 7001, 0);
    EXPECT_EQ(ports.udpProtocolForPort(7001), "svc");
}

TEST(PortsController, RemoveFromProtocolAndPortsInUse) {
    auto ports = freshPorts();
    QORPlugInNetworkProtocol p;
    p.protocolName = "HTTP";
    p.sourceProtocol = kQORSourceProtocols::tcp;
    EXPECT_FALSE(ports.removeAnalyzerProtocolFrom(p));
    p.protocolPorts = {8080, 70000, 8081};
    ports.addAnalyzerProtocol(std::string("HTTP"), 8080, kTCP);
    ports.addAnalyzerProtocol(std::string("HTTP"), 8081, kTCP);
    EXPECT_TRUE(ports.anyPortInUse("9,8081", "TCP", "OTHER"));
    EXPECT_FALSE(ports.anyPortInUse("8081", "TCP", "HTTP"));
    EXPECT_FALSE(ports.anyPortInUse("9", "UDP", "OTHER"));
    EXPECT_TRUE(ports.anyPortInUse("8080", "ALL", "OTHER"));
    EXPECT_FALSE(ports.anyPortInUse("8080", "NONE", "OTHER"));
    EXPECT_TRUE(ports.removeAnalyzerProtocolFrom(p));
    EXPECT_TRUE(ports.analyzerTcpPorts().empty());
}

TEST(Validators, ReportingNamesEveryCorrectionInOrder) {
    QORNetworkProtocol p{"MADEUP", "80, 443,,abc,70000,-1,80", kQORSourceProtocols::udp};
    auto r = NetworkPortsValidator::validateReporting(p);
    EXPECT_EQ(r.ports, "80,443,65535");
    std::vector<PortCorrection> expected{{PortCorrection::invalid{"abc"}},
                                         {PortCorrection::outOfRange{"70000", "65535"}},
                                         {PortCorrection::outOfRange{"-1", "65535"}},
                                         {PortCorrection::duplicate{"65535"}},
                                         {PortCorrection::duplicate{"80"}}};
    EXPECT_EQ(r.corrections, expected);
    EXPECT_EQ(expected[0].message(), "\u2018abc\u2019 is not a valid port");
    EXPECT_EQ(expected[1].message(), "Port 70000 is out of range \u2192 65535");
    EXPECT_EQ(expected[4].message(), "Removed duplicate port 80");
}

TEST(Validators, PortsOfOtherAnalyzersAreRejectedEachTime) {
    auto shared = QORPortsController::sharedPortsController();
    shared->addAnalyzerProtocol(std::string("OWNER"), 7901, kUDP);
    auto r = NetworkPortsValidator::validateReporting({"MINE", "7901,7902,7901", kQORSourceProtocols::udp});
    EXPECT_EQ(r.ports, "7902");
    ASSERT_EQ(r.corrections.size(), 2u);
    EXPECT_EQ(r.corrections[0].message(), "Port 7901 is already used by OWNER");
    EXPECT_EQ(NetworkPortsValidator::validate(QORNetworkProtocol{"MINE", "7901,7902", kQORSourceProtocols::udp}, std::nullopt), "7902");
    EXPECT_EQ(NetworkPortsValidator::validate(QORNetworkProtocol{"OWNER", "7901,7902", kQORSourceProtocols::udp}, std::nullopt), "7901,7902");
    shared->removeAnalyzerProtocolForPort(7901, kUDP);
}

TEST(Validators, RangeOccurrencesAndErrors) {
    EXPECT_EQ(PortRangeValidator::validate(std::string("0,22, 23")), "0,22");
    EXPECT_EQ(PortRangeValidator::validate(std::string("65535,65534,99999,-5,x,+7")), "65535,65534,65535,65535,7");
    EXPECT_EQ(PortRangeValidator::validate(std::nullopt), "");
    EXPECT_EQ(PortOccurencesValidator::validate(std::string("80,80,81"), std::string("80")), 2);
    EXPECT_THROW((void)PortOccurencesValidator::validate(std::nullopt, std::string("80")), QORErrorException);
    EXPECT_THROW((void)NetworkPortsValidator::validate(std::nullopt, std::nullopt), QORErrorException);
    EXPECT_THROW((void)NetworkPortsValidator::validate(QORNetworkProtocol{"P", "80,abc", kQORSourceProtocols::tcp}, std::nullopt),
                 QORErrorException);
    // Ports counted more than once in the existing text are dropped.
    EXPECT_EQ(NetworkPortsValidator::validate(QORNetworkProtocol{"P", "80,81", kQORSourceProtocols::tcp}, std::string("80,80,81")), "81");
    EXPECT_FALSE(parsePortToken("99999999999999999999"));
    EXPECT_FALSE(parsePortToken("-"));
    EXPECT_EQ(parsePortToken("-9223372036854775808"), INT64_MIN);
}

TEST(Validators, Email) {
    EXPECT_TRUE(EmailValidator::validate(std::string("a.b+c@example.org")));
    for (auto text : {std::optional<std::string>("a@b"), std::optional<std::string>("x a@example.org"), std::optional<std::string>()})
        EXPECT_FALSE(EmailValidator::validate(text)) << text.value_or("<none>");
}

TEST(AnalyzerPortsStore, DecodeEncodeAndValidation) {
    TempDir dir;
    UserDefaults defaults(dir.path / "defaults.json");
    AnalyzerPortsStore store("ports", defaults);
    std::vector<QORNetworkProtocol> fallback{{"Z", "1", kQORSourceProtocols::tcp}, {"A", "2", kQORSourceProtocols::udp}};
    EXPECT_EQ(store.decode(fallback), fallback);  // nothing stored: unchanged, not sorted
    defaults.set("ports", Value(Data::fromString("not json")));
    EXPECT_EQ(store.decode(fallback), fallback);
    store.encode(fallback);
    auto decoded = store.decode({});
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(decoded[0].protocolName, "A");
    store.encode({});
    store.encode({{"E", "", kQORSourceProtocols::tcp}});
    EXPECT_EQ(store.decode({}).size(), 2u);  // neither write replaced the stored list
    EXPECT_THROW((void)store.validated({"E", "", kQORSourceProtocols::tcp}), QORErrorException);
    EXPECT_EQ(store.validated({"E", "80,80", kQORSourceProtocols::tcp}), "80,80");
}

TEST(PacketsProvider, IndexingAndCacheAttachment) {
    auto a = QORPacket::create(), b = QORPacket::create(), c = QORPacket::create();
    a->setPacketId(1);
    b->setPacketId(2);
    c->setPacketId(2);
    auto own = std::make_shared<QORDataCache>();
    c->setDataCache(own);
    auto provider = std::make_shared<PacketsProvider>("/tmp/provider.pcap", PacketsProvider::PacketList{a, b, c});
    EXPECT_FALSE(provider->object(-1));
    EXPECT_FALSE(provider->object(3));
    EXPECT_EQ(provider->object(0)->dataCache(), provider->fileCache());
    EXPECT_EQ(provider->objects(1, 3).size(), 2u);
    EXPECT_EQ(c->dataCache(), own);
    EXPECT_EQ(provider->objectIndex(2), 1u);
    EXPECT_FALSE(provider->objectIndex(9));
    int changes = 0;
    auto token = provider->addPacketsWillChangeObserver([&] { ++changes; });
    provider->append(QORPacket::create());
    provider->appendContentsOf({QORPacket::create()}).get();
    EXPECT_EQ(provider->numberOfItems(), 5u);
    provider->resetObjects();
    MainQueue::shared().drain();
    EXPECT_EQ(provider->safePackets().size(), 0u);
    EXPECT_EQ(changes, 3);
}

}  // namespace
}  // namespace qor::test
