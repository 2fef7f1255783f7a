#pragma once
// Helpers for the access-network and application analyzer tests: the standard plug-in (loaded by
// the plug-in controller through the analyzer tests' harness) and the layers of a packet's own analysis.

#include <initializer_list>
#include <stdexcept>
#include <utility>

#include "QORModels/packets/QORPacket.hpp"
#include "analyzers/AnalyzerRows.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::access {

/// An analyzer of the class registered under `className` made from `bytes`, or null when the
/// class refuses them.
inline AnalyzerRef makeAnalyzer(std::string_view className, const Data& bytes) {
    return AnalyzerHarness::shared().make(className, bytes);
}
/// The same, for bytes the class must accept: a refusal throws, which fails the test.
inline AnalyzerRef make(std::string_view className, const Data& bytes) {
    if (auto analyzer = makeAnalyzer(className, bytes)) return analyzer;
    throw std::runtime_error(std::string(className) + " refused the bytes");
}

/// The value of the first top-level node named `name` in an analyzer's nodes, or nothing.
inline std::optional<std::string> topLevelValue(const NodeList& nodes, std::string_view name) {
    for (const auto& n : nodes)
        if (n->nodeName() == name) return n->nodeValue();
    return std::nullopt;
}

/// What an analyzer of `cls` must make of `bytes`; fields left at their default are not checked.
/// `next` "" means it carries nothing; a node value nullptr means the node is there, any value.
struct AccessRow {
    const char* cls;
    Data bytes;
    const char* info = nullptr;
    std::vector<std::pair<const char*, const char*>> nodes = {};
    std::vector<const char*> absent = {};  ///< top-level nodes that must not be there
    long size = -1;
    const char* next = nullptr;
    std::vector<std::pair<const char*, std::string>> values = {};  ///< attribute key, asString() or decimal asUInt()
};

inline void expectAccessRows(const std::vector<AccessRow>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        SCOPED_TRACE(std::string(row.cls) + " row " + std::to_string(i));
        auto a = makeAnalyzer(row.cls, row.bytes);
        ASSERT_TRUE(a);
        if (row.info) { EXPECT_EQ(a->protocolInfo(), std::string(row.info)); }
        if (row.size >= 0) { EXPECT_EQ(a->protocolSize(), static_cast<std::size_t>(row.size)); }
        if (row.next) { EXPECT_EQ(a->nextProtocol(), *row.next ? std::optional<std::string>(row.next) : std::nullopt); }
        auto nodes = a->protocolNodes(row.bytes);
        for (auto [name, value] : row.nodes) {
            if (value) {
                EXPECT_EQ(topLevelValue(nodes, name), std::string(value)) << name;
            } else {
                EXPECT_TRUE(topLevelValue(nodes, name)) << name;
            }
        }
        for (auto name : row.absent) EXPECT_FALSE(topLevelValue(nodes, name)) << name;
        for (const auto& [key, want] : row.values) EXPECT_EQ(valueText(a->value(key, row.bytes)), want) << key;
    }
}

/// Checks that the class refuses each of the byte strings.
inline void expectRefused(std::string_view className, std::initializer_list<Data> refused) {
    for (const auto& bytes : refused) EXPECT_FALSE(makeAnalyzer(className, bytes)) << className << " took " << bytes.size() << " bytes";
}

/// Every node of the list, depth first, parent before children, as "name: value".
inline std::vector<std::string> flatten(const NodeList& nodes) {
    std::vector<std::string> out;
    for (const auto& n : nodes) {
        out.push_back(n->nodeName() + ": " + n->nodeValue());
        for (auto& c : flatten(n->children())) out.push_back(std::move(c));
    }
    return out;
}

/// One analyzer of a packet's chain.
struct Layer {
    std::string protocol;
    AnalyzerRef analyzer;
    Data bytes;  ///< the packet's bytes from the analyzer's header on, as the detail tree hands them over
};

/// The layers of a packet's own analysis (`cachedAnalyzers()`), without the built-in packet
/// analyzer that starts every chain.
inline std::vector<Layer> layersOf(const QORPacket& packet) {
    std::vector<Layer> layers;
    auto chain = packet.cachedAnalyzers();
    auto data = packet.data();
    if (!chain || !data) return layers;
    std::size_t offset = 0;
    for (std::size_t i = 0; i < chain->size(); ++i) {
        const auto& analyzer = (*chain)[i];
        if (i > 0) layers.push_back({analyzer->protocolName().value_or("?"), analyzer, data->slice(offset)});
        offset += analyzer->protocolSize();
    }
    return layers;
}
}  // namespace qor::test::access
