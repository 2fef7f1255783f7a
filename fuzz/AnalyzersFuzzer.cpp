// Fuzzes the protocol analyzers of the standard analyzer plug-in.
//
// Input: the first byte picks an analyzer class (the core analyzers in a fixed order first, so
// that seeds keep their meaning, then every other class the plug-in registers, by name); its top
// bit also decides whether the analyzer gets a packet record holding the bytes. The rest are the
// analyzer's bytes. Every method is called: header size, carried protocol, payload, summaries,
// the detail tree (walked whole), and the value of every attribute key on the whole bytes and on
// the attribute's own slice.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/RuntimeClass.hpp"
#include "support/StandardPlugIn.hpp"

namespace {

using namespace qor;

struct Target {
    std::vector<AnalyzerClassRef> classes;
    std::size_t coreCount = 0;  ///< the first classes, whose headers must fit their bytes
    std::vector<QORPlugInAnalyzerAttribute> attributes;
};

const Target& target() {
    static const Target t = [] {
        Target out;
        const auto& controller = qor::fuzz::activateStandardPlugIn();
        static const char* const kCore[] = {
            "EthernetAnalyzer", "VlanAnalyzer", "LinuxCookedAnalyzer", "LoopbackAnalyzer", "RawIPAnalyzer",
            "ArpAnalyzer",      "IPv4Analyzer", "IPv6Analyzer",        "IcmpAnalyzer",     "IcmpV6Analyzer",
            "TcpAnalyzer",      "UdpAnalyzer",  "DnsAnalyzer",
        };
        std::set<std::string> seen;
        for (const char* name : kCore)
            if (auto cls = std::dynamic_pointer_cast<const QORPluginAnalyzerClass>(ClassRegistry::shared().classNamed(name))) {
                out.classes.push_back(cls);
                seen.insert(name);
            }
        out.coreCount = out.classes.size();
        std::vector<AnalyzerClassRef> others;
        for (const auto& [bundle, s] : controller.plugIns()) {
            if (s.plugInAnalyzerClass && seen.insert(std::string(s.plugInAnalyzerClass->name())).second)
                others.push_back(s.plugInAnalyzerClass);
            for (const auto& a : s.plugInAnalyzerAttributes) out.attributes.push_back(a);
        }
        std::sort(others.begin(), others.end(), [](auto& a, auto& b) { return a->name() < b->name(); });
        out.classes.insert(out.classes.end(), others.begin(), others.end());
        return out;
    }();
    return t;
}

/// Touches every node of a detail tree.
std::size_t walkTree(const NodeList& nodes, int depth = 0) {
    std::size_t total = 0;
    if (depth > 64) return total;
    for (const auto& n : nodes) {
        if (!n) continue;
        total += n->nodeName().size() + n->nodeValue().size();
        total += walkTree(n->children(), depth + 1);
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& t = target();
    if (size < 1 || t.classes.empty()) return 0;
    std::size_t index = (data[0] & 0x7F) % t.classes.size();
    const auto& cls = t.classes[index];
    Data bytes = Data::copy({reinterpret_cast<const std::byte*>(data + 1), size - 1});
    PacketRef packet;
    if (data[0] & 0x80) {
        auto p = QORPacket::create();
        auto cache = std::make_shared<QORDataCache>();
        cache->set(bytes, UInt32Range{0, static_cast<std::uint32_t>(bytes.size())});
        p->setDataCache(cache);
        p->setCaptureLength(static_cast<std::uint32_t>(bytes.size()));
        p->setRealLength(static_cast<std::uint32_t>(bytes.size()));
        p->setLinkType(data[0] & 0x40 ? 276 : 1);
        packet = p;
    }
    auto analyzer = cls->make(bytes, packet);
    if (!analyzer) return 0;
    volatile std::size_t sink = 0;
    auto size16 = analyzer->protocolSize();
    if (index < t.coreCount && size16 > bytes.size()) std::abort();  // a header never claims bytes it does not have
    auto next = analyzer->nextProtocol();
    sink = sink + (next ? next->size() : 0) + analyzer->hasPayload();
    sink = sink + analyzer->protocolName().value_or("").size();
    sink = sink + analyzer->protocolInfo().value_or("").size() + analyzer->protocolInfo(bytes).value_or("").size();
    sink = sink + walkTree(analyzer->protocolNodes(bytes));
    sink = sink + analyzer->value("payloadSize", bytes).description().size();
    for (const auto& a : t.attributes) {
        sink = sink + analyzer->value(a.attributeKey, bytes).description().size();
        sink = sink + analyzer->value(a.attributeKey, bytes.slice(a.attributeOffset, a.attributeLength)).description().size();
    }
    (void)sink;
    return 0;
}
