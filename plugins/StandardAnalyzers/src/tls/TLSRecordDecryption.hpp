#pragma once
// Opening the protected records of one direction under one set of keys.

#include <cstdint>
#include <memory>
#include <optional>

#include "tls/TLSCipherSuite.hpp"
#include "tls/TLSKeyDerivation.hpp"
#include "tls/TLSRecordLayer.hpp"

struct evp_cipher_ctx_st;
struct evp_mac_ctx_st;

namespace qor::standard::tls {

/// Decrypts and authenticates records of one direction under one key with OpenSSL's EVP
/// ciphers and HMAC. The caller counts the sequence numbers (one per record since the keys took
/// effect). Not thread-safe: one per direction and key, used by one thread.
class TLSRecordDecryptor {
public:
    TLSRecordDecryptor(const TLSCipherSuite& suite, TLSTrafficKeys keys);
    ~TLSRecordDecryptor();
    TLSRecordDecryptor(const TLSRecordDecryptor&) = delete;
    TLSRecordDecryptor& operator=(const TLSRecordDecryptor&) = delete;

    /// Opens `record` (sequence number `sequence`) and appends its content to `plaintext`.
    /// Gives the content type: the record header's for TLS 1.2, the inner one for TLS 1.3 (its
    /// zero padding removed). Nothing, with `plaintext` as it was, when the record does not
    /// authenticate, its padding is wrong, it is too short for the suite, or TLS 1.3 content is
    /// all padding.
    std::optional<std::uint8_t> open(const TLSRecord& record, std::uint64_t sequence, Bytes& plaintext);

private:
    std::optional<std::uint8_t> openAEAD(const TLSRecord& record, std::uint64_t sequence, Bytes& plaintext);
    std::optional<std::uint8_t> openCBC(const TLSRecord& record, std::uint64_t sequence, Bytes& plaintext);

    TLSCipherSuite suite_;
    TLSTrafficKeys keys_;
    evp_cipher_ctx_st* cipher_ = nullptr;
    evp_mac_ctx_st* mac_ = nullptr;
    bool ready_ = false;
};

}  // namespace qor::standard::tls
