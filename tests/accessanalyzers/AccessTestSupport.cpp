// Helpers for the access-network and application analyzer tests.

#include "accessanalyzers/AccessTestSupport.hpp"

#include <gtest/gtest.h>

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

void expectAccessRows(const std::vector<AccessRow>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        SCOPED_TRACE(std::string(row.cls) + " row " + std::to_string(i));
        auto a = makeAnalyzer(row.cls, row.bytes);
        ASSERT_TRUE(a);
        if (row.info) {
            EXPECT_EQ(a->protocolInfo(), std::string(row.info));
        }
        if (row.size >= 0) {
            EXPECT_EQ(a->protocolSize(), static_cast<std::size_t>(row.size));
        }
        if (row.next) {
            EXPECT_EQ(a->nextProtocol(), *row.next ? std::optional<std::string>(row.next) : std::nullopt);
        }
        auto nodes = a->protocolNodes(row.bytes);
        for (auto [name, value] : row.nodes) {
            if (value) {
                EXPECT_EQ(topLevelValue(nodes, name), std::string(value)) << name;
            } else {
                EXPECT_TRUE(topLevelValue(nodes, name)) << name;
            }
        }
        for (auto name : row.absent) EXPECT_FALSE(topLevelValue(nodes, name)) << name;
        for (const auto& [key, want] : row.values) {
            auto v = a->value(key, row.bytes);
            auto n = v.asUInt();
            EXPECT_EQ(v.asString().value_or(n ? std::to_string(*n) : "<none>"), want) << key;
        }
    }
}

void expectRefused(std::string_view className, std::initializer_list<Data> refused) {
    for (const auto& bytes : refused) EXPECT_FALSE(makeAnalyzer(className, bytes)) << className << " took " << bytes.size() << " bytes";
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
    std::vector<ExpectedFrame> rows;
    for (const auto& cells : readExpectedRows(std::string(capture) + ".access.tsv", 5))
        rows.push_back({static_cast<std::uint32_t>(std::stoul(cells[0])), split(cells[1], ':'), cells[2], cells[3], cells[4]});
    return rows;
}

}  // namespace qor::test::access
