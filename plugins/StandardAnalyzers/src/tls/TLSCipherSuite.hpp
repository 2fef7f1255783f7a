#pragma once
// The cipher suites whose records this plug-in decrypts, and what each needs.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qor::standard::tls {

enum class TLSRecordProtection {
    aesGCM,            ///< TLS 1.2 AES-GCM: 4-byte implicit salt, 8-byte explicit nonce
    chaCha20Poly1305,  ///< TLS 1.2 ChaCha20-Poly1305: 12-byte IV XOR the sequence number
    aesCBC,            ///< TLS 1.2 AES-CBC with HMAC (MAC-then-encrypt), explicit IV per record
    tls13AEAD,         ///< TLS 1.3: any AEAD, IV XOR the sequence number, inner content type
};

enum class TLSHash { sha1, sha256, sha384 };

struct TLSCipherSuite {
    std::uint16_t code = 0;
    bool isTLS13 = false;
    TLSRecordProtection protection = TLSRecordProtection::aesGCM;
    /// The OpenSSL cipher name ("AES-128-GCM", "ChaCha20-Poly1305", "AES-256-CBC").
    const char* cipherName = "";
    std::size_t keyLength = 0;
    /// The IV bytes the key block (TLS 1.2) or the key schedule (TLS 1.3) gives per direction.
    std::size_t fixedIVLength = 0;
    /// The record MAC's hash (CBC suites only).
    std::optional<TLSHash> macHash;
    /// The PRF's hash (TLS 1.2) or the HKDF hash (TLS 1.3).
    TLSHash prfHash = TLSHash::sha256;
};

/// The suite with this code, or nothing for one whose records are not decrypted here.
std::optional<TLSCipherSuite> tlsCipherSuite(std::uint16_t code);

/// The hash's output length in bytes.
std::size_t hashLength(TLSHash hash);
/// The OpenSSL digest name ("SHA1", "SHA256", "SHA384").
const char* digestName(TLSHash hash);

}  // namespace qor::standard::tls
