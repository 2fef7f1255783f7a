// qor plugins: the loaded analyzer plug-ins and what each one registers.

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "Command.hpp"
#include "PluginSetup.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"

namespace qor::cli {
namespace {

std::string portsText(const std::vector<std::int64_t>& ports) {
    std::string out;
    for (auto p : ports) out += (out.empty() ? "" : ",") + std::to_string(p);
    return out;
}

nlohmann::ordered_json protocolJSON(const QORPlugInNetworkProtocol& p) {
    nlohmann::ordered_json j{{"name", p.protocolName}, {"transport", std::string(sourceProtocolText(p.sourceProtocol))}, {"ports", p.protocolPorts}};
    j["etherType"] = p.ethertype ? nlohmann::ordered_json(fmt::format("0x{:04x}", *p.ethertype)) : nlohmann::ordered_json(nullptr);
    j["linkType"] = p.linktype ? nlohmann::ordered_json(*p.linktype) : nlohmann::ordered_json(nullptr);
    j["headerSize"] = p.size ? nlohmann::ordered_json(*p.size) : nlohmann::ordered_json(nullptr);
    return j;
}

void run(bool json) {
    activateAnalyzers();
    auto controller = QORPlugInsController::sharedManager();
    auto structs = controller->plugInStructs();
    if (json) {
        auto list = nlohmann::ordered_json::array();
        for (const auto& s : structs) {
            nlohmann::ordered_json j{{"title", s.plugInTitle}, {"description", s.plugInDescription}, {"version", s.plugInVersion},
                             {"analyzerClass", s.plugInAnalyzerClass ? std::string(s.plugInAnalyzerClass->name()) : ""}};
            j["protocols"] = nlohmann::ordered_json::array();
            for (const auto& p : s.plugInTargetProtocols) j["protocols"].push_back(protocolJSON(p));
            j["attributes"] = nlohmann::ordered_json::array();
            for (const auto& a : s.plugInAnalyzerAttributes) {
                j["attributes"].push_back({{"key", a.attributeKey}, {"title", a.attributeTitle}, {"type", std::string(rawValue(a.attributeType))}});
            }
            j["columns"] = nlohmann::ordered_json::array();
            for (const auto& c : s.plugInColumnKeyBindings) j["columns"].push_back({{"title", c.columnTitle}, {"keyPath", c.keyPath}});
            list.push_back(std::move(j));
        }
        fmt::print("{}\n", nlohmann::ordered_json{{"plugins", list}}.dump(2));
        return;
    }
    std::string out;
    for (const auto& s : structs) {
        out += fmt::format("{} {} — {}\n", s.plugInTitle, s.plugInVersion, s.plugInDescription);
        for (const auto& p : s.plugInTargetProtocols) {
            out += "  protocol " + p.protocolName;
            if (!p.protocolPorts.empty()) out += fmt::format(" {} ports {}", sourceProtocolText(p.sourceProtocol), portsText(p.protocolPorts));
            if (p.ethertype) out += fmt::format(" ether type 0x{:04x}", *p.ethertype);
            if (p.linktype) out += fmt::format(" link type {}", *p.linktype);
            if (p.size) out += fmt::format(" header {} bytes", *p.size);
            out += '\n';
        }
        if (!s.plugInAnalyzerAttributes.empty()) {
            out += "  attributes:";
            for (const auto& a : s.plugInAnalyzerAttributes) out += " " + a.attributeKey;
            out += '\n';
        }
        if (!s.plugInColumnKeyBindings.empty()) {
            out += "  columns:";
            for (const auto& c : s.plugInColumnKeyBindings) out += " " + c.keyPath;
            out += '\n';
        }
    }
    out += fmt::format("{} plug-in structures\n", structs.size());
    fmt::print("{}", out);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* sub = app.add_subcommand("plugins", "List the loaded analyzer plug-ins with their protocols, attribute keys and columns");
    auto json = std::make_shared<bool>(false);
    sub->add_flag("--json", *json, "Print the list as JSON");
    sub->callback([=] { run(*json); });
}};

}  // namespace
}  // namespace qor::cli
