// qor packets FILE: one line (or one JSON object) per packet.

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "CaptureLoading.hpp"
#include "Command.hpp"
#include "commands/PluginSetup.hpp"

namespace qor::cli {
namespace {

/// The packet's record as JSON: the record's own property names; absent values left out.
nlohmann::json packetJSON(const QORPacket& p) {
    (void)p.cachedAnalyzers();  // analyse first: protocol and history are stored by analysis
    nlohmann::json j;
    j["packetId"] = p.packetId();
    j["dateReceived"] = p.dateReceived();
    j["dateReference"] = p.dateReference();
    j["captureLength"] = p.captureLength();
    j["realLength"] = p.realLength();
    j["linkType"] = p.linkType();
    auto put = [&](const char* key, const auto& v) {
        if (v) j[key] = *v;
    };
    put("pcapngInterfaceIndex", p.pcapngInterfaceIndex());
    put("pcapngInterfaceName", p.pcapngInterfaceName());
    put("pcapngPacketFlags", p.pcapngPacketFlags());
    put("packetComment", p.packetComment());
    put("packetProtocol", p.packetProtocol());
    put("packetProtocolHistory", p.packetProtocolHistory());
    put("packetSourceString", p.packetSourceString());
    put("packetDestinationString", p.packetDestinationString());
    auto ipSrc = p.packetIPSourceAddress(), ipDst = p.packetIPDestinationAddress();
    if (ipSrc && !ipSrc->empty()) j["packetIPSourceAddress"] = *ipSrc;
    if (ipDst && !ipDst->empty()) j["packetIPDestinationAddress"] = *ipDst;
    j["packetInfoOverview"] = p.packetInfoOverview();
    for (const char* key : {"srcPort", "dstPort"}) {
        if (auto v = p.valueForUndefinedKey(key).asUInt()) j[key] = *v;
    }
    return j;
}

void run(const std::string& file, bool json) {
    activateAnalyzers();
    const auto& capture = keepUntilExit(loadCaptureShowingProgress(file));
    std::string out;
    for (auto& p : capture.packets) {
        if (json) {
            out += packetJSON(*p).dump();
            out += '\n';
        } else {
            (void)p->cachedAnalyzers();
            std::string iface;
            if (auto i = p->pcapngInterfaceIndex()) {
                iface = std::to_string(*i);
                if (auto n = p->pcapngInterfaceName()) iface += "(" + *n + ")";
            }
            out += fmt::format("{:>6} {:>11.6f} {:>15} -> {:<15} {:<8} {:>5}/{:<5} {:<5} {:<6} {}{}\n", p->packetId(),
                               p->packetTime(), p->packetSourceString().value_or(""), p->packetDestinationString().value_or(""),
                               p->packetProtocol().value_or(""), p->captureLength(), p->realLength(),
                               p->packetLinkTypeString().value_or(std::to_string(p->linkType())), iface,
                               p->packetInfoOverview(), p->packetComment() ? "  # " + *p->packetComment() : std::string());
        }
        if (out.size() > (1u << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    reportReadIssue(capture);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* cmd = app.add_subcommand("packets", "List packets: number, time, source, destination, protocol, lengths, info");
    auto file = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("FILE", *file, "pcap or pcapng file")->required();
    cmd->add_flag("--json", *json, "Print JSON Lines, one object per packet");
    cmd->callback([file, json] { run(*file, *json); });
}};

}  // namespace
}  // namespace qor::cli
