#pragma once
// Opening the protected records of one direction under one set of keys.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "tls/TLSCipherSuite.hpp"
#include "tls/TLSKeyDerivation.hpp"
#include "tls/TLSRecordLayer.hpp"

struct evp_cipher_ctx_st;
struct evp_mac_ctx_st;

namespace qor::standard::tls {

struct LibCrypto;

/// Decrypts and authenticates records of one direction under one key with OpenSSL's EVP
/// ciphers and HMAC. The caller counts the sequence numbers (one per record since the keys took
/// effect). Not thread-safe: one per direction and key, used by one thread.
class TLSRecordDecryptor {
public:
    TLSRecordDecryptor(const TLSCipherSuite& suite, TLSTrafficKeys keys);
    ~TLSRecordDecryptor();
    TLSRecordDecryptor(const TLSRecordDecryptor&) = delete;
    TLSRecordDecryptor& operator=(const TLSRecordDecryptor&) = delete;

    /// What an opened record holds: its content type (the record header's for TLS 1.2, the
    /// inner one for TLS 1.3) and the length of its content, which starts the output.
    struct Opened {
        std::uint8_t type = 0;
        std::size_t length = 0;
    };

    /// Opens `record` (sequence number `sequence`) into `out`, which is written from its start
    /// and must have room for the record's fragment (no content is longer); the bytes of `out`
    /// past the content are scratch. Nothing when `out` is too small, the record does not
    /// authenticate, its padding is wrong, it is too short for the suite, or TLS 1.3 content is
    /// all padding.
    std::optional<Opened> open(const TLSRecord& record, std::uint64_t sequence, std::span<std::byte> out);

private:
    std::optional<Opened> openAEAD(const TLSRecord& record, std::uint64_t sequence, unsigned char* out);
    std::optional<Opened> openCBC(const TLSRecord& record, std::uint64_t sequence, unsigned char* out);

    TLSCipherSuite suite_;
    TLSTrafficKeys keys_;
    const LibCrypto* crypto_ = nullptr;  ///< null when libcrypto could not be opened
    evp_cipher_ctx_st* cipher_ = nullptr;
    evp_mac_ctx_st* mac_ = nullptr;
    bool ready_ = false;
};

}  // namespace qor::standard::tls
