// Loads the standard analyzer plug-in and runs its analyzers by hand.

#include "AnalyzerHarness.hpp"

#include <dlfcn.h>

#include <stdexcept>

#include "QORCommonTools/ByteReader.hpp"
#include "QORDependencies/QORPlugInsControlling.hpp"
#include "QORModels/analysis/QORPortsController.hpp"
#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/RuntimeClass.hpp"

namespace qor::test {
namespace {

/// Keeps what the principal class registers.
class RecordingController final : public QORPlugInsControlling {
public:
    std::vector<QORPlugInStructure> structures;
    void activatePlugIns() override {}
    bool registerPlugIn(const QORPlugInStructure& plugIn, const std::shared_ptr<NSBundle>&) override {
        structures.push_back(plugIn);
        return true;
    }
    bool registerNetworkProtocol(const QORPlugInNetworkProtocol&, const std::shared_ptr<NSBundle>&) override { return false; }
    bool unregisterNetworkProtocol(const QORPlugInNetworkProtocol&, const std::shared_ptr<NSBundle>&) override { return false; }
    std::vector<QORPlugInStructure> plugInStructs() override { return structures; }
    void updatePluginStructs() override {}
};

std::string pluginLibraryPath() {
    std::string dir = QOR_BUILD_PLUGINS_DIR;
    if (const char* env = std::getenv("QOR_BUILTIN_PLUGINS_DIR"); env && *env) dir = env;
    return dir + "/StandardAnalyzers.qorplugin/libStandardAnalyzers.so";
}

}  // namespace

AnalyzerHarness& AnalyzerHarness::shared() {
    static AnalyzerHarness harness;
    return harness;
}

AnalyzerHarness::AnalyzerHarness() {
    // The library stays loaded for the process: its classes live in the class registry.
    if (!dlopen(pluginLibraryPath().c_str(), RTLD_NOW | RTLD_GLOBAL))
        throw std::runtime_error(std::string("cannot load the standard analyzers: ") + dlerror());
    auto principal = std::dynamic_pointer_cast<const QORPluginPrincipalClass>(
        ClassRegistry::shared().classNamed("StandardAnalyzersPlugIn"));
    if (!principal) throw std::runtime_error("the standard analyzers registered no principal class");
    RecordingController controller;
    (void)principal->construct(controller, nullptr);  // the object keeps itself alive
    structures_ = controller.structures;
    auto ports = QORPortsController::sharedPortsController();
    for (const auto& s : structures_) {
        for (const auto& p : s.plugInTargetProtocols) {
            byProtocol_[p.protocolName] = s.plugInAnalyzerClass;
            if (p.sourceProtocol != kQORSourceProtocols::none)
                for (auto port : p.protocolPorts)
                    if (port >= 0 && port < 65535)
                        ports->addAnalyzerProtocol(p.protocolName, static_cast<std::uint16_t>(port), rawValue(p.sourceProtocol));
        }
    }
}

const QORPluginAnalyzerClass* AnalyzerHarness::classNamed(std::string_view className) const {
    return dynamic_cast<const QORPluginAnalyzerClass*>(ClassRegistry::shared().classNamed(className).get());
}

const QORPluginAnalyzerClass* AnalyzerHarness::classForProtocol(std::string_view protocol) const {
    auto it = byProtocol_.find(protocol);
    return it == byProtocol_.end() ? nullptr : it->second.get();
}

AnalyzerRef AnalyzerHarness::make(std::string_view className, const Data& bytes, const PacketRef& packet) const {
    auto cls = classNamed(className);
    if (!cls) throw std::runtime_error("no analyzer class " + std::string(className));
    return cls->make(bytes, packet);
}

std::optional<QORPlugInAnalyzerAttribute> AnalyzerHarness::attribute(std::string_view key) const {
    for (const auto& s : structures_)
        for (const auto& a : s.plugInAnalyzerAttributes)
            if (a.attributeKey == key) return a;
    return std::nullopt;
}

std::vector<AnalyzerHarness::Step> AnalyzerHarness::walk(const std::string& firstProtocol, const Data& packetBytes,
                                                         const PacketRef& packet) const {
    std::vector<Step> steps;
    std::optional<std::string> next = firstProtocol;
    std::size_t offset = 0, available = packetBytes.size();
    while (next && steps.size() < kMaxSteps) {
        auto cls = classForProtocol(*next);
        if (!cls) break;
        Data slice = packetBytes.slice(offset, available);
        auto analyzer = cls->make(slice, packet);
        if (!analyzer) break;
        steps.push_back({analyzer, offset, slice});
        std::size_t size = analyzer->protocolSize();
        std::size_t payload = available >= size ? available - size : 0;
        if (analyzer->hasPayload()) {
            auto announced = analyzer->value("payloadSize", slice).asUInt();
            if (announced && *announced <= payload) payload = *announced;
        }
        offset += size;
        available = payload;
        next = analyzer->nextProtocol();
    }
    return steps;
}

std::string history(const std::vector<AnalyzerHarness::Step>& steps) {
    std::string out;
    for (const auto& s : steps) out += (out.empty() ? "" : "-") + s.analyzer->protocolName().value_or("?");
    return out;
}

std::vector<CapturedPacket> readCapture(const Data& file) {
    std::vector<CapturedPacket> out;
    ByteReader r(file);
    auto magic = r.peekU32be();
    if (!magic) return out;
    if (*magic == 0xA1B2C3D4 || *magic == 0xD4C3B2A1 || *magic == 0xA1B23C4D || *magic == 0x4D3CB2A1) {
        bool swapped = *magic == 0xD4C3B2A1 || *magic == 0x4D3CB2A1;
        auto u32 = [&](std::size_t at) { return r.load<std::uint32_t>(at, swapped != (std::endian::native == std::endian::little)); };
        auto linkType = u32(20);
        std::size_t at = 24;
        while (linkType) {
            auto caplen = u32(at + 8);
            if (!caplen) break;
            auto bytes = file.checkedSlice(at + 16, *caplen);
            if (!bytes) break;
            out.push_back({*linkType & 0x0FFFFFFF, *bytes});
            at += 16 + *caplen;
        }
        return out;
    }
    // pcapng: blocks of TYPE (4) LENGTH (4) BODY LENGTH (4), in the section's byte order.
    std::vector<std::uint32_t> linkTypes;
    bool big = false;
    std::size_t at = 0;
    while (true) {
        // The section header's type reads the same in both byte orders.
        auto type = r.load<std::uint32_t>(at, false);
        if (type && *type == 0x0A0D0D0A) {
            auto bom = r.load<std::uint32_t>(at + 8, std::endian::native != std::endian::big);
            big = bom && *bom == 0x1A2B3C4D;
            linkTypes.clear();
        }
        bool swap = big == (std::endian::native == std::endian::little);  // file order differs from ours
        auto u32 = [&](std::size_t o) { return r.load<std::uint32_t>(o, swap); };
        auto u16 = [&](std::size_t o) { return r.load<std::uint16_t>(o, swap); };
        type = u32(at);
        auto length = u32(at + 4);
        if (!type || !length || *length < 12 || at + *length > file.size()) break;
        if (*type == 1) {
            if (auto lt = u16(at + 8)) linkTypes.push_back(*lt);
        } else if (*type == 6) {
            auto iface = u32(at + 8), caplen = u32(at + 20);
            if (iface && caplen && *iface < linkTypes.size())
                if (auto bytes = file.checkedSlice(at + 28, *caplen)) out.push_back({linkTypes[*iface], *bytes});
        } else if (*type == 3 && !linkTypes.empty()) {
            auto origlen = u32(at + 8);
            if (origlen)
                if (auto bytes = file.checkedSlice(at + 12, std::min<std::size_t>(*origlen, *length - 16)))
                    out.push_back({linkTypes[0], *bytes});
        }
        at += *length;
    }
    return out;
}

PacketRef packetWith(std::uint32_t linkType, const Data& bytes) {
    auto packet = QORPacket::create();
    auto cache = std::make_shared<QORDataCache>();
    cache->set(bytes, UInt32Range{0, static_cast<std::uint32_t>(bytes.size())});
    packet->setDataCache(cache);
    packet->setLinkType(linkType);
    packet->setCaptureLength(static_cast<std::uint32_t>(bytes.size()));
    packet->setRealLength(static_cast<std::uint32_t>(bytes.size()));
    return packet;
}

}  // namespace qor::test
