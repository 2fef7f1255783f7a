// Helpers for the access-network and application analyzer tests.

#include "accessanalyzers/AccessTestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::access {
namespace {

/// Longest chain walked; real frames have a dozen layers at most.
constexpr std::size_t kMaxLayers = 32;

/// The loaded plug-in, with its ether types and link types registered with the shared
/// protocol-strings table as the plug-in controller would (its ports the harness registers).
const AnalyzerHarness& plugIn() {
    static std::once_flag once;
    auto& harness = AnalyzerHarness::shared();
    std::call_once(once, [&] {
        for (const auto& s : harness.structures())
            for (const auto& p : s.plugInTargetProtocols) {
                if (p.ethertype) ProtocolsStringsCache::sharedCache().addAnalyzerProtocolForEtherType(p.protocolName, *p.ethertype);
                if (p.linktype) ProtocolsStringsCache::sharedCache().addAnalyzerProtocol(p.protocolName, *p.linktype);
            }
    });
    return harness;
}

}  // namespace

AnalyzerRef makeAnalyzer(std::string_view className, const Data& bytes) { return plugIn().make(className, bytes); }

AnalyzerRef make(std::string_view className, const Data& bytes) {
    auto analyzer = makeAnalyzer(className, bytes);
    if (!analyzer) throw std::runtime_error(std::string(className) + " refused the bytes");
    return analyzer;
}

std::optional<std::string> topLevelValue(const NodeList& nodes, std::string_view name) {
    for (const auto& n : nodes)
        if (n->nodeName() == name) return n->nodeValue();
    return std::nullopt;
}

void expectTopLevel(const NodeList& nodes, std::initializer_list<std::pair<const char*, const char*>> want) {
    for (auto [name, value] : want) EXPECT_EQ(topLevelValue(nodes, name), std::string(value)) << name;
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
    const auto& harness = plugIn();
    std::vector<Layer> chain;
    auto name = ProtocolsStringsCache::sharedCache().linkTypeStringForKey(std::to_string(linkType));
    std::size_t offset = 0, size = frame.size();
    while (name && chain.size() < kMaxLayers) {
        auto cls = harness.classForProtocol(*name);
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

std::vector<CapturedPacket> readCapture(std::string_view name) { return qor::test::readCapture(readFile(capturePath(name))); }

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
        ExpectedFrame row{static_cast<std::uint32_t>(std::stoul(cells[0])), {}, cells[2], cells[3], cells[4]};
        std::stringstream ps(cells[1]);
        while (std::getline(ps, cell, ':')) row.protocols.push_back(cell);
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace qor::test::access
