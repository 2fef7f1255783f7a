// Every analyzer class of the standard plug-in answers the same however it is asked, on every
// packet of every fixture capture (and of a capture built here for a link type none of them has),
// read by the library's reader:
// - the analysis walk with the analyzer built on the stack (`inspect`) or a kept one (`make`), at
//   the start of every header of the packet's chain (so that each class also meets the bytes it
//   was made for), with the packet record the walk would pass;
// - filters, which read a packet's keys through readers resolved once per expression, and
//   plug-in attributes through their class's attribute readers where it has them: each answers
//   what the packet answers by name and what the analyzer answers.

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <set>

#include "AnalyzerHarness.hpp"
#include "PlugInPackets.hpp"
#include "QORDependencies/QORAttributeReading.hpp"
#include "QORModels/analysis/PluginLookupTable.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/NSExpression.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

/// What the walk and the packet table ask an analyzer.
struct Answers {
    std::uint16_t protocolSize = 0;
    std::optional<std::string> nextProtocol;
    bool hasPayload = false;
    std::optional<std::string> protocolName;
    std::optional<std::string> protocolInfo;
    std::vector<std::string> values;  ///< "payloadSize" and every attribute key, as text

    friend bool operator==(const Answers&, const Answers&) = default;
};

Answers answersOf(const QORPluginAnalyzerProtocol& analyzer, const Data& bytes, const std::vector<std::string>& keys) {
    Answers a{analyzer.protocolSize(), analyzer.nextProtocol(), analyzer.hasPayload(), analyzer.protocolName(),
              analyzer.protocolInfo(), {}};
    for (const auto& key : keys) a.values.push_back(key + "=" + analyzer.value(key, bytes).description());
    return a;
}

void PrintTo(const Answers& a, std::ostream* os) {
    *os << "size " << a.protocolSize << ", next " << a.nextProtocol.value_or("-") << ", payload "
        << (a.hasPayload ? "yes" : "no") << ", name " << a.protocolName.value_or("-") << ", info "
        << a.protocolInfo.value_or("-");
    for (const auto& v : a.values) *os << ", " << v;
}

/// One registered class with the attribute keys its plug-in structures name.
struct ClassUnderTest {
    const QORPluginAnalyzerClass* cls;
    std::vector<std::string> keys{"payloadSize"};
};

std::vector<ClassUnderTest> registeredClasses() {
    std::vector<ClassUnderTest> out;
    for (const auto& s : AnalyzerHarness::shared().structures()) {
        if (!s.plugInAnalyzerClass) continue;
        auto it = std::find_if(out.begin(), out.end(), [&](auto& c) { return c.cls == s.plugInAnalyzerClass.get(); });
        if (it == out.end()) it = out.insert(out.end(), ClassUnderTest{s.plugInAnalyzerClass.get()});
        for (const auto& a : s.plugInAnalyzerAttributes) it->keys.push_back(a.attributeKey);
    }
    return out;
}

/// Packets of link types no fixture capture has: a Prism monitoring header before an 802.11 data
/// frame (LLC/SNAP, IPv4, UDP to port 53).
std::vector<std::pair<std::string, PacketList>> builtCaptures() {
    Bytes wlan;
    wlan.u8(0x88).u8(0x01).u16(0).zeros(18).u16(0x1230).u16(0).raw({0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0x00});
    wlan.raw(ipv4Packet(17, udpDatagram(40000, 53, Bytes().zeros(17).data())));
    auto prism = Bytes().u32(0x41).u32(144).raw("wlan0").zeros(135).raw(wlan.data()).data();
    return {{"a built Prism capture", readPackets(PcapBuilder(119).record(1, 0, prism).data())}};
}

TEST(InspectAgreement, EveryClassAnswersTheSameOnTheStackAsOnTheHeap) {
    const auto classes = registeredClasses();
    ASSERT_GE(classes.size(), 30u) << "the plug-in registered fewer classes than it has";
    std::size_t compared = 0, accepted = 0;
    std::set<const QORPluginAnalyzerClass*> everAccepted;
    std::vector<std::pair<std::string, PacketList>> captures = builtCaptures();
    for (const auto& name : fixtureCaptures()) captures.emplace_back(name, readCapture(name).packets);
    for (const auto& [name, packets] : captures) {
        for (std::size_t n = 0; n < packets.size(); ++n) {
            const auto& record = packets[n];
            auto bytes = record->data();
            if (!bytes) continue;
            auto packet = packetWith(record->linkType(), *bytes);
            // The start of every header of the packet's own chain, as the shipped walk found them.
            std::set<std::size_t> offsets{0};
            const auto chain = record->analysedLinks();
            for (const auto& link : chain.links()) offsets.insert(link.offset);
            for (auto offset : offsets) {
                if (offset > (*bytes).size()) continue;
                Data slice = (*bytes).slice(offset, (*bytes).size() - offset);
                for (const auto& c : classes) {
                    std::optional<Answers> made, inspected;
                    if (auto analyzer = c.cls->make(slice, packet)) made = answersOf(*analyzer, slice, c.keys);
                    int visits = 0;
                    bool shown = c.cls->inspect(slice, packet, [&](const QORPluginAnalyzerProtocol& analyzer) {
                        ++visits;
                        inspected = answersOf(analyzer, slice, c.keys);
                    });
                    EXPECT_EQ(shown, visits == 1) << c.cls->name();
                    EXPECT_EQ(made, inspected) << c.cls->name() << " on " << name
                                               << " packet " << n + 1 << " at offset " << offset;
                    ++compared;
                    if (made) {
                        ++accepted;
                        everAccepted.insert(c.cls);
                    }
                }
            }
        }
    }
    // The comparison means something only when the classes met bytes they accept.
    EXPECT_GT(compared, 10000u);
    EXPECT_GT(accepted, compared / 4);
    for (const auto& c : classes)
        EXPECT_TRUE(everAccepted.count(c.cls)) << c.cls->name() << " accepted no fixture bytes";
}

TEST(KeyReaderAgreement, ClassReadersAnswerAsTheAnalyzersOfTheirClass) {
    // Each reading class with the attribute records that name it or a superclass of it.
    std::map<const QORPluginAnalyzerClass*, std::vector<QORPlugInAnalyzerAttribute>> readingClasses;
    for (const auto& s : AnalyzerHarness::shared().structures()) {
        if (!s.plugInAnalyzerClass || !dynamic_cast<const QORAttributeReading*>(s.plugInAnalyzerClass.get())) continue;
        for (const auto& a : s.plugInAnalyzerAttributes) readingClasses[s.plugInAnalyzerClass.get()].push_back(a);
    }
    std::size_t compared = 0;
    for (const auto& name : fixtureCaptures()) {
        auto capture = readCapture(name);
        for (const auto& packet : capture.packets) {
            const auto bytes = packet->data();
            if (!bytes) continue;
            const auto chain = packet->analysedLinks();
            for (const auto& link : chain.links()) {
                const auto* cls = AnalyzerClassIndex::classAt(link.classIndex);
                auto found = readingClasses.find(cls);
                if (found == readingClasses.end()) continue;
                const Data header = CompactAnalyzerChain::bytesOf(link, *bytes);
                auto analyzer = cls->make(header, packet);
                ASSERT_TRUE(analyzer) << cls->name() << " refuses the bytes it was made from in " << name;
                const auto& reading = dynamic_cast<const QORAttributeReading&>(*cls);
                for (const auto& a : found->second) {
                    const auto reader = reading.attributeReader(a.attributeKey);
                    if (!reader) continue;
                    // The attribute's own bytes, the whole header, and the attribute cut short
                    // (a capture that ends inside it).
                    std::vector<Data> slices{attributeSlice(*bytes, link.offset, a), header};
                    for (std::size_t cut = 0; cut < a.attributeLength && cut <= header.size(); ++cut)
                        slices.push_back(header.slice(std::min<std::size_t>(a.attributeOffset, header.size()), cut));
                    for (const Data& slice : slices) {
                        EXPECT_EQ(reader(slice), analyzer->value(a.attributeKey, slice))
                            << cls->name() << " " << a.attributeKey << " in " << name << " packet " << packet->packetId();
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 5000u);
}

TEST(KeyReaderAgreement, ExpressionsAnswerAsThePacketByName) {
    AnalyzerHarness::shared();
    const auto table = PluginLookupTable::current();
    std::vector<std::string> keys{"packetId",           "captureLength", "packetLengthReal", "packetDateReceived",
                                  "packetProtocolHistory", "packetSourceString", "packetInfoOverview", "description",
                                  "noSuchKey"};
    for (const auto& [key, attribute] : table->attributeByKey) keys.push_back(key);
    for (const auto& [keyPath, cls] : table->columnBindings) keys.push_back(keyPath);
    std::vector<NSExpression::Ref> expressions;
    for (const auto& key : keys) expressions.push_back(NSExpression::expressionForKeyPath(key));

    std::size_t compared = 0, present = 0;
    for (const auto& name : fixtureCaptures()) {
        auto capture = readCapture(name);
        for (const auto& packet : capture.packets) {
            for (std::size_t k = 0; k < keys.size(); ++k) {
                Value scratch;
                const Value& read = expressions[k]->evaluate({packet.get(), nullptr, nullptr}, scratch);
                EXPECT_EQ(read, packet->valueForKeyPath(keys[k])) << keys[k] << " in " << name << " packet " << packet->packetId();
                ++compared;
                present += read.isNone() ? 0 : 1;
            }
        }
    }
    EXPECT_GT(compared, 20000u);
    EXPECT_GT(present, 1000u);

    // A reader resolved against one plug-in table serves no packet once another is published.
    auto tcp = readCapture("get-gzip.pcap").packets.front();
    const auto srcPort = NSExpression::expressionForKeyPath("srcPort");
    Value scratch;
    ASSERT_FALSE(srcPort->evaluate({tcp.get(), nullptr, nullptr}, scratch).isNone());
    PluginLookupTable::publish(std::make_shared<const PluginLookupTable>());
    EXPECT_TRUE(srcPort->evaluate({tcp.get(), nullptr, nullptr}, scratch).isNone());
    PluginLookupTable::publish(table);
    EXPECT_EQ(srcPort->evaluate({tcp.get(), nullptr, nullptr}, scratch), tcp->valueForKey("srcPort"));
}

}  // namespace
}  // namespace qor::test
