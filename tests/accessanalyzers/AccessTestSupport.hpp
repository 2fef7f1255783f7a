#pragma once
// Helpers for the access-network and application analyzer tests: the standard plug-in (loaded by
// the plug-in controller through the analyzer tests' harness), the layers of a packet's own
// analysis, and the tshark expectations recorded beside the captures.

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/Data.hpp"
#include "analyzers/AnalyzerHarness.hpp"

namespace qor::test::access {

/// An analyzer of the class registered under `className` made from `bytes`, or null when the
/// class refuses them.
AnalyzerRef makeAnalyzer(std::string_view className, const Data& bytes);
/// The same, for bytes the class must accept: a refusal throws, which fails the test.
AnalyzerRef make(std::string_view className, const Data& bytes);

/// The value of the first top-level node named `name` in an analyzer's nodes, or nothing.
std::optional<std::string> topLevelValue(const NodeList& nodes, std::string_view name);
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
void expectAccessRows(const std::vector<AccessRow>& rows);
/// Checks that the class refuses each of the byte strings.
void expectRefused(std::string_view className, std::initializer_list<Data> refused);
/// Every node of the list, depth first, parent before children, as "name: value".
std::vector<std::string> flatten(const NodeList& nodes);

/// One analyzer of a packet's chain and where its header starts in the packet.
struct Layer {
    std::string protocol;
    AnalyzerRef analyzer;
    std::size_t offset = 0;
    Data bytes;  ///< the packet's bytes from `offset` on, as the detail tree hands them over
};

/// The layers of a packet's own analysis (`cachedAnalyzers()`), without the built-in packet
/// analyzer that starts every chain.
std::vector<Layer> layersOf(const QORPacket& packet);
/// The layer of `protocol`, or null.
const Layer* layerOf(const std::vector<Layer>& layers, std::string_view protocol);

/// A hand-built frame as a packet of a file, so that it analyses as a read packet does.
std::shared_ptr<QORPacket> framePacket(const Data& frame, std::uint32_t linkType);

/// One row of tests/fixtures/expected/<capture>.access.tsv (tshark's view of one frame).
struct ExpectedFrame {
    std::uint32_t number = 0;
    std::vector<std::string> protocols;  ///< frame.protocols split at ":"
    std::string l2tpMessageTypes;        ///< l2tp.avp.message_type (comma-separated)
    std::string radiusCodes;             ///< radius.code
    std::string pppoeSessionIds;         ///< pppoe.session_id ("0x...", comma-separated)
};
std::vector<ExpectedFrame> readExpected(std::string_view capture);

}  // namespace qor::test::access
