#pragma once
// The protocol histories of a capture as a tree of layers.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "QORModels/statistics/ProtocolStatisticCounting.hpp"

namespace qor {

/// One layer path of the hierarchy ("ETH" > "IP" > "TCP"): the packets whose history starts with
/// that path, and their bytes on the wire.
struct ProtocolHierarchyRow {
    std::string protocol;  ///< the path's last layer name
    std::size_t depth = 0;  ///< 0 for the first layer
    std::int64_t frames = 0;
    std::int64_t bytes = 0;
    friend bool operator==(const ProtocolHierarchyRow&, const ProtocolHierarchyRow&) = default;
};

/// Builds the layer tree from history counts: each history ("ETH-IP-TCP", layers split at "-")
/// adds its frames and bytes to the node of every prefix of its layers (a layer that repeats,
/// as IP in IP, is a node of its own below the first). Rows come depth first; siblings are
/// ordered by frames, most first, then by name. An empty history is left out.
[[nodiscard]] std::vector<ProtocolHierarchyRow> protocolHierarchy(const std::map<std::string, LayerPathCount>& histories);

}  // namespace qor
