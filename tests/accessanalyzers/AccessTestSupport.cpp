// Helpers for the access-network and application analyzer tests.

#include "accessanalyzers/AccessTestSupport.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sstream>

#include "QORCommonTools/ByteReader.hpp"
#include "QORDependencies/QORPlugInsControlling.hpp"
#include "QORModels/analysis/QORPortsController.hpp"
#include "QORModels/packets/PcapngReader.hpp"
#include "QORPlatform/RuntimeClass.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::access {
namespace {

/// Longest chain walked; real frames have a dozen layers at most.
constexpr std::size_t kMaxLayers = 32;

/// Collects what the principal class registers, in place of the plug-in controller.
class CollectingController final : public QORPlugInsControlling {
public:
    void activatePlugIns() override {}
    bool registerPlugIn(const QORPlugInStructure& plugIn, const std::shared_ptr<NSBundle>&) override {
        structures.push_back(plugIn);
        return true;
    }
    bool registerNetworkProtocol(const QORPlugInNetworkProtocol&, const std::shared_ptr<NSBundle>&) override { return true; }
    bool unregisterNetworkProtocol(const QORPlugInNetworkProtocol&, const std::shared_ptr<NSBundle>&) override { return true; }
    std::vector<QORPlugInStructure> plugInStructs() override { return structures; }
    void updatePluginStructs() override {}
    std::vector<QORPlugInStructure> structures;
};

std::map<std::string, AnalyzerClassRef>& protocolClasses() {
    static std::map<std::string, AnalyzerClassRef> classes;
    return classes;
}

void load() {
    auto path = std::string(QOR_BUILD_PLUGINS_DIR) + "/StandardAnalyzers.qorplugin/libStandardAnalyzers.so";
    if (!dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL)) {
        ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
        return;
    }
    auto principal = std::dynamic_pointer_cast<const QORPluginPrincipalClass>(
        ClassRegistry::shared().classNamed("StandardAnalyzersPlugIn"));
    if (!principal) {
        ADD_FAILURE() << "no principal class StandardAnalyzersPlugIn";
        return;
    }
    CollectingController controller;
    if (!principal->construct(controller, nullptr)) {
        ADD_FAILURE() << "StandardAnalyzersPlugIn refused construction";
        return;
    }
    auto ports = QORPortsController::sharedPortsController();
    for (const auto& s : controller.structures) {
        for (const auto& p : s.plugInTargetProtocols) {
            protocolClasses()[p.protocolName] = s.plugInAnalyzerClass;
            if (p.sourceProtocol != kQORSourceProtocols::none && ports)
                for (auto port : p.protocolPorts)
                    if (port >= 0 && port < 65535)
                        ports->addAnalyzerProtocol(p.protocolName, static_cast<std::uint16_t>(port), rawValue(p.sourceProtocol));
            if (p.ethertype) ProtocolsStringsCache::sharedCache().addAnalyzerProtocolForEtherType(p.protocolName, *p.ethertype);
            if (p.linktype) ProtocolsStringsCache::sharedCache().addAnalyzerProtocol(p.protocolName, *p.linktype);
        }
    }
}

}  // namespace

void loadStandardPlugIn() {
    static std::once_flag once;
    std::call_once(once, load);
    ASSERT_FALSE(protocolClasses().empty()) << "the standard plug-in registered no families";
}

std::shared_ptr<const QORPluginAnalyzerClass> analyzerClass(std::string_view className) {
    loadStandardPlugIn();
    return std::dynamic_pointer_cast<const QORPluginAnalyzerClass>(ClassRegistry::shared().classNamed(className));
}

AnalyzerRef makeAnalyzer(std::string_view className, const Data& bytes) {
    auto cls = analyzerClass(className);
    if (!cls) {
        ADD_FAILURE() << "no analyzer class " << className;
        return nullptr;
    }
    return cls->make(bytes, nullptr);
}

std::shared_ptr<const QORPluginAnalyzerClass> classForProtocol(const std::string& protocol) {
    loadStandardPlugIn();
    auto it = protocolClasses().find(protocol);
    return it == protocolClasses().end() ? nullptr : it->second;
}

std::optional<std::string> topLevelValue(const NodeList& nodes, std::string_view name) {
    for (const auto& n : nodes)
        if (n->nodeName() == name) return n->nodeValue();
    return std::nullopt;
}

std::vector<std::string> flatten(const NodeList& nodes) {
    std::vector<std::string> out;
    for (const auto& n : nodes) {
        out.push_back(n->nodeName() + ": " + n->nodeValue());
        for (auto& c : flatten(n->children())) out.push_back(std::move(c));
    }
    return out;
}

std::vector<Layer> walkChain(const Data& frame, std::uint32_t linkType) {
    loadStandardPlugIn();
    std::vector<Layer> chain;
    auto name = ProtocolsStringsCache::sharedCache().linkTypeStringForKey(std::to_string(linkType));
    std::size_t offset = 0, size = frame.size();
    while (name && chain.size() < kMaxLayers) {
        auto cls = classForProtocol(*name);
        if (!cls) break;
        auto slice = frame.slice(offset, size);
        auto analyzer = cls->make(slice, nullptr);
        if (!analyzer) break;
        chain.push_back({analyzer->protocolName().value_or(*name), analyzer, offset, slice});
        name = analyzer->nextProtocol();
        std::size_t header = analyzer->protocolSize();
        if (analyzer->hasPayload()) {
            auto payload = analyzer->value("payloadSize", slice).asUInt();
            if (payload && *payload <= size) size = *payload;
            else if (header <= size) size -= header;
        } else {
            size = 0;
        }
        offset += header;
        if (offset > frame.size()) break;
        if (!analyzer->hasPayload()) size = frame.size() - offset;
        if (header == 0 && name == chain.back().protocol) break;
    }
    return chain;
}

std::string history(const std::vector<Layer>& chain) {
    std::string out;
    for (const auto& layer : chain) out += (out.empty() ? "" : "-") + layer.protocol;
    return out;
}

std::vector<Frame> readCapture(std::string_view name) {
    auto file = readFile(capturePath(name));
    std::vector<Frame> frames;
    auto pcapng = PcapngReader::read(file);
    if (pcapng.isPcapng) {
        for (const auto& p : pcapng.packets)
            if (auto bytes = file.checkedSlice(p->dataLocation(), p->captureLength()))
                frames.push_back({*bytes, p->linkType()});
        return frames;
    }
    // Classic pcap: a 24-byte file header (magic, versions, zone, sigfigs, snaplen, link type),
    // then records of ts_sec, ts_frac, incl_len, orig_len and the bytes.
    ByteReader r(file);
    auto magic = r.readU32le();
    if (!magic) return frames;
    bool swapped = *magic == 0xd4c3b2a1 || *magic == 0x4d3cb2a1;
    auto field = r.load<std::uint32_t>(20, swapped);
    if (!field || !r.seek(24)) return frames;
    // The link type is the low 16 bits; the high bits may hold the FCS length and its flag.
    std::uint32_t linkType = *field & 0xFFFF;
    while (r.remaining() >= 16) {
        r.skip(8);
        auto caplen = r.readSwapped<std::uint32_t>(swapped);
        r.skip(4);
        auto at = r.offset();
        if (!caplen || !r.skip(*caplen)) break;
        frames.push_back({file.slice(at, *caplen), linkType});
    }
    return frames;
}

std::vector<ExpectedFrame> readExpected(std::string_view capture) {
    std::ifstream in(fixturePath("expected/" + std::string(capture) + ".access.tsv"));
    std::vector<ExpectedFrame> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> cells;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, '\t')) cells.push_back(cell);
        cells.resize(5);
        ExpectedFrame row;
        row.number = static_cast<std::uint32_t>(std::stoul(cells[0]));
        std::stringstream ps(cells[1]);
        while (std::getline(ps, cell, ':')) row.protocols.push_back(cell);
        row.l2tpMessageTypes = cells[2];
        row.radiusCodes = cells[3];
        row.pppoeSessionIds = cells[4];
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace qor::test::access
