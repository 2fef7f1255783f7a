#pragma once
// The packet record's side records, shared by its implementation files.

#include <optional>
#include <string>

#include "QORModels/packets/QORPacket.hpp"

namespace qor {

/// Fields few packets have.
struct QORPacket::Extras {
    std::optional<std::string> packetComment;
    std::optional<std::string> etherSrc;
    std::optional<std::string> etherDst;
};

/// Texts analysis stores on the packet.
struct QORPacket::Analysis {
    std::string ipSrc;
    std::string ipDst;
    std::string infoOverview;
    std::optional<NodeList> packetNodes;
};

}  // namespace qor
