#pragma once
// One row of the TLS keys view: a session, known by its client random, and its key material.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QORModels/tls/TLSDecryptionOutcome.hpp"
#include "QORModels/tls/TLSKeyMatch.hpp"
#include "QORModels/tls/TLSSessionStatus.hpp"
#include "QORPlatform/Data.hpp"

namespace qor {

/// A TLS session seen in a document, with the key material found for it. A value, rebuilt on
/// demand; its identity is its client random.
struct TLSSessionKeyRow {
    Data clientRandom;  ///< 32 bytes
    std::optional<std::string> serverName;
    std::vector<std::string> alpnProtocols;
    std::vector<std::uint16_t> offeredVersions;
    /// Server IP ":" server port in decimal ("10.0.0.2:443", "::1:443").
    std::string serverAddress;
    /// The first packet of the TCP stream the ClientHello was seen in.
    std::int64_t firstPacketId = 0;
    /// One per key-log source that holds entries for the client random.
    std::vector<TLSKeyMatch> matches;
    /// Nothing until a decryption probe has been asked about the session's stream.
    std::optional<TLSDecryptionOutcome> decryptionOutcome;

    [[nodiscard]] const Data& id() const noexcept { return clientRandom; }
    /// At least one match.
    [[nodiscard]] bool hasKey() const noexcept { return !matches.empty(); }
    /// The labels of all matches, in match order, each kept once at its first occurrence.
    [[nodiscard]] std::vector<std::string> allLabels() const;
    /// The lines of all matches, in match order, each kept once at its first occurrence.
    [[nodiscard]] std::vector<std::string> allLines() const;
    /// The status the canonical resolver (`TLSSessionStatusResolution::canonical()`) gives.
    [[nodiscard]] TLSSessionStatus status() const;
    /// A copy with the decryption outcome replaced.
    [[nodiscard]] TLSSessionKeyRow with(std::optional<TLSDecryptionOutcome> outcome) const;

    friend bool operator==(const TLSSessionKeyRow&, const TLSSessionKeyRow&) = default;
};

}  // namespace qor
