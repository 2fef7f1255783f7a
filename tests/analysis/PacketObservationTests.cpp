// Observing a packet: analysis with the real standard plug-in tells the observers of protocol,
// history and summary; a user's comment is told too; removed observers hear nothing.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "FakeAnalyzers.hpp"
#include "QORDependencies/DefaultInjection.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORModels/analysis/QORPortsController.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

/// The standard plug-in loaded from the build tree and its lookup table published for the
/// duration of a test.
class ObservedAnalysis : public ::testing::Test {
protected:
    void SetUp() override {
        const std::filesystem::path built = std::filesystem::path(QOR_BUILD_PLUGINS_DIR) / "StandardAnalyzers.qorplugin";
        ASSERT_TRUE(std::filesystem::exists(built / "Info.plist")) << "standard plug-in not built at " << built;
        ::setenv("QOR_BUILTIN_PLUGINS_DIR", QOR_BUILD_PLUGINS_DIR, 1);
        controller_->activatePlugIns();
        controller_->updatePluginStructs();
        savedProvider_ = DefaultInjection::plugInControllingProvider();
        savedTable_ = PluginLookupTable::current();
        DefaultInjection::setPlugInControllingProvider(controller_);
        QORPacket::snapshotPluginRegistry();
    }
    void TearDown() override {
        DefaultInjection::setPlugInControllingProvider(savedProvider_);
        PluginLookupTable::publish(savedTable_);
        for (auto& [b, s] : controller_->plugIns())
            for (auto& p : s.plugInTargetProtocols) QORPortsController::sharedPortsController()->removeAnalyzerProtocolFrom(p);
    }
    /// An ARP request on Ethernet: who has 192.168.1.1, tell 192.168.1.2.
    static Data arpRequest() {
        Bytes frame(true);
        frame.raw({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0, 0x11, 0x22, 0x33, 0x44, 0x55}).u16(0x0806);
        frame.u16(1).u16(0x0800).raw({6, 4}).u16(1);
        frame.raw({0, 0x11, 0x22, 0x33, 0x44, 0x55, 192, 168, 1, 2});
        frame.raw({0, 0, 0, 0, 0, 0, 192, 168, 1, 1}).zeros(18);
        return frame.data();
    }

    std::shared_ptr<QORPlugInsController> controller_ = std::make_shared<QORPlugInsController>();
    std::shared_ptr<QORPlugInsControlling> savedProvider_;
    std::shared_ptr<const PluginLookupTable> savedTable_;
};

TEST_F(ObservedAnalysis, AnalysisTellsObserversOfProtocolHistoryAndSummary) {
    auto packet = packetWithBytes(arpRequest());
    std::map<std::string, std::vector<Value>> heard;
    for (const char* key : {"packetProtocol", "packetProtocolHistory", "packetInfoOverview"}) {
        packet->addObserver(key, [&heard](const NSObject&, const KeyValueChange& c) {
            heard[std::string(c.keyPath)].push_back(c.newValue);
        }, kKeyValueObservingOptionNew);
    }
    int removedHeard = 0;
    auto removed = packet->addObserver("packetProtocol", [&](const NSObject&, const KeyValueChange&) { ++removedHeard; });
    ASSERT_TRUE(packet->removeObserver(removed));

    ASSERT_TRUE(packet->cachedAnalyzers());
    ASSERT_EQ(heard["packetProtocol"].size(), 1u);
    EXPECT_EQ(heard["packetProtocol"][0].asString(), "ARP");
    ASSERT_EQ(heard["packetProtocolHistory"].size(), 1u);
    EXPECT_EQ(heard["packetProtocolHistory"][0].asString(), packet->packetProtocolHistory());
    EXPECT_NE(packet->packetProtocolHistory().value_or("").find("ARP"), std::string::npos);
    // The summary is computed from the stored chain: told once the chain is in place.
    ASSERT_FALSE(heard["packetInfoOverview"].empty());
    EXPECT_EQ(heard["packetInfoOverview"].back().asString(), packet->packetInfoOverview());
    EXPECT_FALSE(packet->packetInfoOverview().empty());
    EXPECT_EQ(removedHeard, 0);

    // Analysing again with the same outcome changes nothing, so nobody hears anything.
    packet->redissect();
    EXPECT_EQ(heard["packetProtocol"].size(), 1u);
}

TEST_F(ObservedAnalysis, UserSetFieldsAreToldAndUnobservedPacketsAnalyseAlike) {
    auto observed = packetWithBytes(arpRequest());
    auto plain = packetWithBytes(arpRequest());
    std::vector<Value> comments;
    observed->addObserver("packetComment", [&](const NSObject&, const KeyValueChange& c) { comments.push_back(c.oldValue); },
                          kKeyValueObservingOptionOld);
    observed->setPacketComment("first look");
    observed->setPacketComment("second look");
    ASSERT_EQ(comments.size(), 2u);
    EXPECT_TRUE(comments[0].isNone());
    EXPECT_EQ(comments[1].asString(), "first look");
    // Observing changes what is told, never what analysis finds.
    (void)observed->cachedAnalyzers();
    (void)plain->cachedAnalyzers();
    EXPECT_EQ(observed->packetProtocolHistory(), plain->packetProtocolHistory());
    EXPECT_EQ(observed->packetInfoOverview(), plain->packetInfoOverview());
}

}  // namespace
}  // namespace qor::test
