// qor show FILE N: one packet's detail tree and its bytes.

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "CaptureLoading.hpp"
#include "Command.hpp"
#include "PluginSetup.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/analysis/QORNode.hpp"

namespace qor::cli {
namespace {

constexpr std::size_t kBytesPerLine = 16;
/// Detail trees deeper than this are cut (a guard against a node that is its own descendant).
constexpr int kMaxTreeDepth = 64;

void printTree(const NodeList& nodes, int depth, std::string& out) {
    if (depth > kMaxTreeDepth) return;
    for (const auto& n : nodes) {
        if (!n) continue;
        out += std::string(static_cast<std::size_t>(depth) * 2, ' ');
        out += n->nodeName();
        if (!n->nodeValue().empty()) out += ": " + n->nodeValue();
        out += '\n';
        printTree(n->children(), depth + 1, out);
    }
}

nlohmann::ordered_json treeJSON(const NodeList& nodes, int depth) {
    auto list = nlohmann::ordered_json::array();
    if (depth > kMaxTreeDepth) return list;
    for (const auto& n : nodes) {
        if (!n) continue;
        nlohmann::ordered_json j{{"name", n->nodeName()}, {"value", n->nodeValue()}};
        if (auto node = std::dynamic_pointer_cast<QORNode>(n)) {
            j["location"] = node->headerLocation();
            j["length"] = node->headerLength();
        } else {
            j["location"] = 0;
            j["length"] = 0;
        }
        j["children"] = treeJSON(n->children(), depth + 1);
        list.push_back(std::move(j));
    }
    return list;
}

/// "0000  45 00 ...  E..." lines, 16 bytes each.
std::string hexDump(const Data& bytes) {
    std::string out;
    for (std::size_t line = 0; line < bytes.size(); line += kBytesPerLine) {
        out += fmt::format("{:04x}  ", line);
        std::string ascii;
        for (std::size_t i = 0; i < kBytesPerLine; ++i) {
            if (line + i < bytes.size()) {
                auto b = bytes[line + i];
                out += fmt::format("{:02x} ", b);
                ascii += printableASCII(b);
            } else {
                out += "   ";
            }
            if (i == 7) out += ' ';
        }
        out += ' ' + ascii + '\n';
    }
    return out;
}

std::string hexText(const Data& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) out += fmt::format("{:02x}", bytes[i]);
    return out;
}

void run(const std::string& path, std::int64_t number, bool json) {
    activateAnalyzers();
    auto capture = loadCapture(path);
    if (number < 1 || static_cast<std::uint64_t>(number) > capture.packets.size()) {
        throw CommandFailure(2, fmt::format("{}: no packet {} (the file holds {} packets)", path, number, capture.packets.size()));
    }
    auto packet = capture.packets[static_cast<std::size_t>(number - 1)];
    auto bytes = packet->data();
    if (!bytes) throw CommandFailure(1, fmt::format("{}: the bytes of packet {} cannot be read", path, number));
    auto nodes = packet->nodes();
    if (json) {
        nlohmann::ordered_json j{{"packet", number}, {"nodes", treeJSON(nodes, 0)}, {"hex", hexText(*bytes)}};
        fmt::print("{}\n", j.dump(2));
        return;
    }
    std::string out;
    printTree(nodes, 0, out);
    out += '\n';
    out += hexDump(*bytes);
    fmt::print("{}", out);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* sub = app.add_subcommand("show", "Show one packet's protocol detail tree and a hex dump of its bytes");
    auto path = std::make_shared<std::string>();
    auto number = std::make_shared<std::int64_t>(1);
    auto json = std::make_shared<bool>(false);
    sub->add_option("FILE", *path, "Capture file (pcap or pcapng)")->required();
    sub->add_option("N", *number, "Packet number, from 1")->required();
    sub->add_flag("--json", *json, "Print the tree and the bytes as JSON");
    sub->callback([=] { run(*path, *number, *json); });
}};

}  // namespace
}  // namespace qor::cli
