#pragma once
// One ClientHello seen in a byte stream of TLS records.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QORPlatform/Data.hpp"

namespace qor {

/// What a ClientHello tells about the session it opens.
struct TLSHandshakeSighting {
    /// Always exactly 32 bytes, in a buffer of their own: a sighting does not keep the stream
    /// it was found in alive.
    Data clientRandom;
    /// The host name of the server_name extension.
    std::optional<std::string> serverName;
    /// The protocol names of the application_layer_protocol_negotiation extension, in offered order.
    std::vector<std::string> alpnProtocols;
    /// The versions of the supported_versions extension in offered order, GREASE values included;
    /// the ClientHello's legacy version alone when that extension is missing or empty.
    std::vector<std::uint16_t> offeredVersions;

    friend bool operator==(const TLSHandshakeSighting&, const TLSHandshakeSighting&) = default;
};

/// Hashes every field, consistent with `==`.
struct TLSHandshakeSightingHash {
    std::size_t operator()(const TLSHandshakeSighting& sighting) const noexcept;
};

}  // namespace qor
