// The table of decryptable cipher suites (RFC 5246, 5288, 5289, 7905, 8446).

#include "tls/TLSCipherSuite.hpp"

#include <array>

namespace qor::standard::tls {
namespace {

using P = TLSRecordProtection;
using H = TLSHash;

constexpr std::array suites = {
    // AES-GCM (RFC 5288, 5289): the suite's own hash is the PRF hash.
    TLSCipherSuite{0x009c, false, P::aesGCM, "AES-128-GCM", 16, 4, std::nullopt, H::sha256},
    TLSCipherSuite{0x009d, false, P::aesGCM, "AES-256-GCM", 32, 4, std::nullopt, H::sha384},
    TLSCipherSuite{0xc02b, false, P::aesGCM, "AES-128-GCM", 16, 4, std::nullopt, H::sha256},
    TLSCipherSuite{0xc02c, false, P::aesGCM, "AES-256-GCM", 32, 4, std::nullopt, H::sha384},
    TLSCipherSuite{0xc02f, false, P::aesGCM, "AES-128-GCM", 16, 4, std::nullopt, H::sha256},
    TLSCipherSuite{0xc030, false, P::aesGCM, "AES-256-GCM", 32, 4, std::nullopt, H::sha384},
    // ChaCha20-Poly1305 (RFC 7905).
    TLSCipherSuite{0xcca8, false, P::chaCha20Poly1305, "ChaCha20-Poly1305", 32, 12, std::nullopt, H::sha256},
    TLSCipherSuite{0xcca9, false, P::chaCha20Poly1305, "ChaCha20-Poly1305", 32, 12, std::nullopt, H::sha256},
    TLSCipherSuite{0xccaa, false, P::chaCha20Poly1305, "ChaCha20-Poly1305", 32, 12, std::nullopt, H::sha256},
    // AES-CBC with HMAC (RFC 5246, 4492, 5289): the SHA-1 and SHA-256 suites use the SHA-256 PRF.
    TLSCipherSuite{0x002f, false, P::aesCBC, "AES-128-CBC", 16, 16, H::sha1, H::sha256},
    TLSCipherSuite{0x0035, false, P::aesCBC, "AES-256-CBC", 32, 16, H::sha1, H::sha256},
    TLSCipherSuite{0x003c, false, P::aesCBC, "AES-128-CBC", 16, 16, H::sha256, H::sha256},
    TLSCipherSuite{0x003d, false, P::aesCBC, "AES-256-CBC", 32, 16, H::sha256, H::sha256},
    TLSCipherSuite{0xc009, false, P::aesCBC, "AES-128-CBC", 16, 16, H::sha1, H::sha256},
    TLSCipherSuite{0xc00a, false, P::aesCBC, "AES-256-CBC", 32, 16, H::sha1, H::sha256},
    TLSCipherSuite{0xc013, false, P::aesCBC, "AES-128-CBC", 16, 16, H::sha1, H::sha256},
    TLSCipherSuite{0xc014, false, P::aesCBC, "AES-256-CBC", 32, 16, H::sha1, H::sha256},
    TLSCipherSuite{0xc023, false, P::aesCBC, "AES-128-CBC", 16, 16, H::sha256, H::sha256},
    TLSCipherSuite{0xc024, false, P::aesCBC, "AES-256-CBC", 32, 16, H::sha384, H::sha384},
    TLSCipherSuite{0xc027, false, P::aesCBC, "AES-128-CBC", 16, 16, H::sha256, H::sha256},
    TLSCipherSuite{0xc028, false, P::aesCBC, "AES-256-CBC", 32, 16, H::sha384, H::sha384},
    // TLS 1.3 (RFC 8446 B.4).
    TLSCipherSuite{0x1301, true, P::tls13AEAD, "AES-128-GCM", 16, 12, std::nullopt, H::sha256},
    TLSCipherSuite{0x1302, true, P::tls13AEAD, "AES-256-GCM", 32, 12, std::nullopt, H::sha384},
    TLSCipherSuite{0x1303, true, P::tls13AEAD, "ChaCha20-Poly1305", 32, 12, std::nullopt, H::sha256},
};

}  // namespace

std::optional<TLSCipherSuite> tlsCipherSuite(std::uint16_t code) {
    for (const auto& suite : suites)
        if (suite.code == code) return suite;
    return std::nullopt;
}

std::size_t hashLength(TLSHash hash) {
    switch (hash) {
        case TLSHash::sha1: return 20;
        case TLSHash::sha256: return 32;
        case TLSHash::sha384: return 48;
    }
    return 0;
}

const char* digestName(TLSHash hash) {
    switch (hash) {
        case TLSHash::sha1: return "SHA1";
        case TLSHash::sha256: return "SHA256";
        case TLSHash::sha384: return "SHA384";
    }
    return "";
}

}  // namespace qor::standard::tls
