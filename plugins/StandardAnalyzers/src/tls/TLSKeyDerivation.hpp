#pragma once
// Secrets from key-log lines, and the keys derived from them (RFC 5246 5 and 6.3, RFC 8446 7.1).

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tls/TLSCipherSuite.hpp"

namespace qor::standard::tls {

using Bytes = std::vector<std::byte>;

/// The secret of a key-log line: its third field decoded from hexadecimal (either case), or
/// nothing when the field is missing, has an odd length or holds anything else.
std::optional<Bytes> keyLogSecret(std::string_view line);

/// The TLS 1.2 key block: PRF(master secret, "key expansion", server random + client random),
/// `length` bytes, with the suite's PRF hash. Nothing when OpenSSL refuses.
std::optional<Bytes> tls12KeyBlock(TLSHash prfHash, std::span<const std::byte> masterSecret,
                                   std::span<const std::byte> serverRandom, std::span<const std::byte> clientRandom,
                                   std::size_t length);

/// HKDF-Expand-Label(secret, label, context, length) of TLS 1.3; `label` without the "tls13 "
/// prefix. Nothing when OpenSSL refuses or the label is too long.
std::optional<Bytes> hkdfExpandLabel(TLSHash hash, std::span<const std::byte> secret, std::string_view label,
                                     std::span<const std::byte> context, std::size_t length);

/// The keys that protect one direction's records under one secret.
struct TLSTrafficKeys {
    Bytes key;
    Bytes iv;      ///< the implicit salt (GCM), the fixed IV (ChaCha20, TLS 1.3); unused by CBC
    Bytes macKey;  ///< CBC suites only
};

/// The client's and the server's keys from a TLS 1.2 master secret, by the key block layout
/// client MAC key, server MAC key, client key, server key, client IV, server IV.
struct TLS12SessionKeys {
    TLSTrafficKeys client;
    TLSTrafficKeys server;
};
std::optional<TLS12SessionKeys> tls12SessionKeys(const TLSCipherSuite& suite, std::span<const std::byte> masterSecret,
                                                 std::span<const std::byte> serverRandom,
                                                 std::span<const std::byte> clientRandom);

/// The key and IV of a TLS 1.3 traffic secret (RFC 8446 7.3).
std::optional<TLSTrafficKeys> tls13TrafficKeys(const TLSCipherSuite& suite, std::span<const std::byte> secret);

/// The next traffic secret after a KeyUpdate: HKDF-Expand-Label(secret, "traffic upd", "", Hash.length).
std::optional<Bytes> tls13NextTrafficSecret(const TLSCipherSuite& suite, std::span<const std::byte> secret);

}  // namespace qor::standard::tls
