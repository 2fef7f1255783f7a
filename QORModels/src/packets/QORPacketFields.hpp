#pragma once
// The packet record's side records, shared by its implementation files.

#include <memory>
#include <optional>
#include <string>

#include "QORModels/packets/QORPacket.hpp"

namespace qor {

/// Fields few packets have (a stored summary line and detail tree only when someone sets them).
struct QORPacket::Extras {
    std::optional<std::string> packetComment;
    std::optional<std::string> etherSrc;
    std::optional<std::string> etherDst;
    std::string infoOverview;
    std::optional<NodeList> packetNodes;
    /// The analyzer cache object, once something asked for it (see `QORPacket::cacheManager`).
    std::shared_ptr<QORAnalyzerCache> cacheManager;
};

/// The address texts analysis stores on every IP packet (kept apart from the rarer fields so
/// that each analysed packet carries only these).
struct QORPacket::Analysis {
    std::string ipSrc;
    std::string ipDst;
};

}  // namespace qor
