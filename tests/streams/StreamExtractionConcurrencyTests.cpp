// Stream extraction and session classification analyse every packet again on oneTBB's workers:
// on all cores they give what they give on one, and the race checker watches the hand-overs
// between the workers and the caller.

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <string>
#include <vector>

#include "QORModels/sessions/SubscriberSessionBuilder.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/streams/UDPFlowReassembler.hpp"
#include "StreamCaptures.hpp"

namespace qor {
namespace {

/// Everything the three builders make of the snapshots, as lines of text.
std::vector<std::string> outcome(const std::vector<PacketSnapshot>& snapshots) {
    std::vector<std::string> lines;
    for (const auto& stream : TCPStreamReassembler::reassembleAllOffMain(snapshots))
        lines.push_back("tcp " + stream.title() + " " + std::to_string(stream.segments.size()) + " " +
                        stream.clientToServerData.toString() + "|" + stream.serverToClientData.toString());
    for (const auto& flow : UDPFlowReassembler::reassembleAllOffMain(snapshots))
        lines.push_back("udp " + flow.title() + " " + std::to_string(flow.packetCount()) + " " +
                        std::to_string(flow.totalBytes()) + " " + flow.protocolLabel());
    for (const auto& session : SubscriberSessionBuilder::buildSessions(snapshots)) {
        std::string line = "session " + session.id();
        for (const auto& event : session.events) line += " " + std::to_string(event.id) + ":" + event.label;
        lines.push_back(std::move(line));
    }
    return lines;
}

TEST(StreamExtractionConcurrency, AllCoresGiveWhatOneCoreGives) {
    for (const char* name : {"nb6-http.pcap", "pipelined-requests.pcap", "many_interfaces-1.pcapng", "suricata-pppoe.pcap"}) {
        // The capture repeated, so that every worker gets batches of its own.
        const auto once = test::snapshotsOf(name);
        std::vector<PacketSnapshot> snapshots;
        for (int i = 0; i < 40; ++i) snapshots.insert(snapshots.end(), once.begin(), once.end());
        const auto serial = [&] {
            tbb::global_control oneThread(tbb::global_control::max_allowed_parallelism, 1);
            return outcome(snapshots);
        }();
        ASSERT_FALSE(serial.empty()) << name;
        EXPECT_EQ(outcome(snapshots), serial) << name;
    }
}

}  // namespace
}  // namespace qor
