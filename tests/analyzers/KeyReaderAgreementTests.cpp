// Filters read a packet's keys through readers resolved once per expression, and plug-in
// attributes through their class's attribute readers where it has them: on every packet of the
// fixture captures, each answers what the packet answers by name and what the analyzer answers.

#include <gtest/gtest.h>

#include <map>

#include "AnalyzerHarness.hpp"
#include "QORDependencies/QORAttributeReading.hpp"
#include "QORModels/analysis/PluginLookupTable.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/NSExpression.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

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
