#pragma once
// The packet record's side records, shared by its implementation files.

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
    /// The address texts stored by a creator or a setter (analysis renders them from the chain).
    std::string ipSrc;
    std::string ipDst;
};

}  // namespace qor
