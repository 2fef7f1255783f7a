#pragma once
// The keys the packet record answers itself, shared by its key-value access and its key readers.

#include <string_view>

#include "QORModels/packets/QORPacket.hpp"

namespace qor {

/// How the record answers one of its own keys.
using PacketFieldAccessor = Value (*)(const QORPacket& packet);

/// The accessor of a key the record answers itself (the properties views and filters bind to,
/// by name); null for every other key, which `valueForKey` hands to the root object (its
/// "description") and then to `valueForUndefinedKey` (plug-in attributes, column bindings).
PacketFieldAccessor packetFieldAccessor(std::string_view key);

}  // namespace qor
