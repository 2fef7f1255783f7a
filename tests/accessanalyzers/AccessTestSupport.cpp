// Helpers for the access-network and application analyzer tests.

#include "accessanalyzers/AccessTestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/Fixtures.hpp"

namespace qor::test::access {

AnalyzerRef makeAnalyzer(std::string_view className, const Data& bytes) { return AnalyzerHarness::shared().make(className, bytes); }

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

std::vector<Layer> layersOf(const QORPacket& packet) {
    std::vector<Layer> layers;
    auto chain = packet.cachedAnalyzers();
    auto data = packet.data();
    if (!chain || !data) return layers;
    std::size_t offset = 0;
    for (std::size_t i = 0; i < chain->size(); ++i) {
        const auto& analyzer = (*chain)[i];
        // The first analyzer is the built-in packet analyzer, which every chain starts with.
        if (i > 0) layers.push_back({analyzer->protocolName().value_or("?"), analyzer, offset, data->slice(offset)});
        offset += analyzer->protocolSize();
    }
    return layers;
}

const Layer* layerOf(const std::vector<Layer>& layers, std::string_view protocol) {
    for (const auto& l : layers)
        if (l.protocol == protocol) return &l;
    return nullptr;
}

std::shared_ptr<QORPacket> framePacket(const Data& frame, std::uint32_t linkType) {
    AnalyzerHarness::shared();  // the packet is analysed by the loaded plug-in
    auto packet = packetWith(linkType, frame);
    packet->setFilePath(std::filesystem::path("frame.pcap"));
    return packet;
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
        ExpectedFrame row{static_cast<std::uint32_t>(std::stoul(cells[0])), {}, cells[2], cells[3], cells[4]};
        std::stringstream ps(cells[1]);
        while (std::getline(ps, cell, ':')) row.protocols.push_back(cell);
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace qor::test::access
