// Every analyzer class of the standard plug-in answers the analysis walk the same whether the
// walk has the analyzer built on the stack (`inspect`) or asks for a kept one (`make`).
//
// Each class is run on every packet of every fixture capture, at the start of every header of
// the packet's chain (so that each class also meets the bytes it was made for), with the packet
// record the walk would pass.

#include <gtest/gtest.h>

#include <ostream>
#include <set>

#include "AnalyzerHarness.hpp"
#include "QORModels/packets/QORPacket.hpp"
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

TEST(InspectAgreement, EveryClassAnswersTheSameOnTheStackAsOnTheHeap) {
    const auto classes = registeredClasses();
    ASSERT_GE(classes.size(), 30u) << "the plug-in registered fewer classes than it has";
    std::size_t compared = 0, accepted = 0;
    std::set<const QORPluginAnalyzerClass*> everAccepted;
    for (const auto& name : fixtureCaptures()) {
        auto capture = readCapture(name);
        for (std::size_t n = 0; n < capture.packets.size(); ++n) {
            const auto& record = capture.packets[n];
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

}  // namespace
}  // namespace qor::test
