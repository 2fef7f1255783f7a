// Record decryption: AEAD records of TLS 1.2 (RFC 5288, 7905) and TLS 1.3 (RFC 8446 5.2-5.3),
// and MAC-then-encrypt CBC records of TLS 1.2 (RFC 5246 6.2.3.2).

#include "tls/TLSRecordDecryption.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include "tls/FetchedAlgorithms.hpp"

namespace qor::standard::tls {
namespace {

constexpr std::size_t tagLength = 16;
constexpr std::size_t gcmExplicitNonceLength = 8;
constexpr std::size_t cbcBlockLength = 16;

const unsigned char* bytePointer(std::span<const std::byte> bytes, std::size_t at) {
    return reinterpret_cast<const unsigned char*>(bytes.data() + at);
}

/// The 13 bytes TLS 1.2 authenticates besides the content: sequence number, type, version, length.
std::array<unsigned char, 13> tls12AdditionalData(std::uint64_t sequence, const TLSRecord& record, std::size_t length) {
    std::array<unsigned char, 13> aad{};
    for (int i = 0; i < 8; ++i) aad[static_cast<std::size_t>(i)] = static_cast<unsigned char>(sequence >> (56 - 8 * i));
    aad[8] = record.type;
    aad[9] = static_cast<unsigned char>(record.version >> 8);
    aad[10] = static_cast<unsigned char>(record.version & 0xFF);
    aad[11] = static_cast<unsigned char>(length >> 8);
    aad[12] = static_cast<unsigned char>(length & 0xFF);
    return aad;
}

/// The 12-byte IV XOR the sequence number, right-aligned (RFC 7905 2, RFC 8446 5.3).
std::array<unsigned char, 12> xoredNonce(const Bytes& iv, std::uint64_t sequence) {
    std::array<unsigned char, 12> nonce{};
    std::memcpy(nonce.data(), iv.data(), std::min(iv.size(), nonce.size()));
    for (int i = 0; i < 8; ++i) nonce[4 + static_cast<std::size_t>(i)] ^= static_cast<unsigned char>(sequence >> (56 - 8 * i));
    return nonce;
}

/// 0xFF when `a` < `b`, else 0 (a comparison the compiler turns into a flag, not a branch).
unsigned char lessThanMask(std::size_t a, std::size_t b) { return static_cast<unsigned char>(-static_cast<int>(a < b)); }

}  // namespace

TLSRecordDecryptor::TLSRecordDecryptor(const TLSCipherSuite& suite, TLSTrafficKeys keys)
    : suite_(suite), keys_(std::move(keys)), crypto_(libCrypto()) {
    if (!crypto_) return;
    const EVP_CIPHER* cipher = fetchedCipher(suite_.cipherName);
    cipher_ = crypto_->EVP_CIPHER_CTX_new();
    if (!cipher || !cipher_ || keys_.key.size() != static_cast<std::size_t>(crypto_->EVP_CIPHER_get_key_length(cipher))) return;
    // The key is set once; each record sets only its IV.
    ready_ = crypto_->EVP_DecryptInit_ex2(cipher_, cipher, bytePointer(keys_.key, 0), nullptr, nullptr) > 0;
    if (!ready_ || suite_.protection != TLSRecordProtection::aesCBC) return;
    EVP_MAC* hmac = fetchedMAC("HMAC");
    mac_ = hmac ? crypto_->EVP_MAC_CTX_new(hmac) : nullptr;
    if (!mac_ || !suite_.macHash || keys_.macKey.size() != hashLength(*suite_.macHash)) {
        ready_ = false;
        return;
    }
    // The MAC's digest and key are set once too; each record starts the MAC over with them.
    OSSL_PARAM params[] = {
        crypto_->OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digestName(*suite_.macHash)), 0),
        crypto_->OSSL_PARAM_construct_end(),
    };
    ready_ = crypto_->EVP_CIPHER_CTX_set_padding(cipher_, 0) > 0 &&
             crypto_->EVP_MAC_init(mac_, bytePointer(keys_.macKey, 0), keys_.macKey.size(), params) > 0;
}

TLSRecordDecryptor::~TLSRecordDecryptor() {
    if (!crypto_) return;
    crypto_->EVP_CIPHER_CTX_free(cipher_);
    crypto_->EVP_MAC_CTX_free(mac_);
}

std::optional<TLSRecordDecryptor::Opened> TLSRecordDecryptor::open(const TLSRecord& record, std::uint64_t sequence,
                                                                  std::span<std::byte> out) {
    if (!ready_ || out.size() < record.fragment.size()) return std::nullopt;
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    return suite_.protection == TLSRecordProtection::aesCBC ? openCBC(record, sequence, bytes)
                                                            : openAEAD(record, sequence, bytes);
}

std::optional<TLSRecordDecryptor::Opened> TLSRecordDecryptor::openAEAD(const TLSRecord& record, std::uint64_t sequence,
                                                                      unsigned char* out) {
    const auto fragment = record.fragment;
    const bool explicitNonce = suite_.protection == TLSRecordProtection::aesGCM;
    const std::size_t prefix = explicitNonce ? gcmExplicitNonceLength : 0;
    const bool tls13 = suite_.protection == TLSRecordProtection::tls13AEAD;
    if (fragment.size() < prefix + tagLength + (tls13 ? 1 : 0)) return std::nullopt;
    const std::size_t length = fragment.size() - prefix - tagLength;

    std::array<unsigned char, 12> nonce{};
    if (explicitNonce) {
        if (keys_.iv.size() != 4) return std::nullopt;
        std::memcpy(nonce.data(), keys_.iv.data(), 4);
        std::memcpy(nonce.data() + 4, fragment.data(), gcmExplicitNonceLength);
    } else {
        if (keys_.iv.size() != nonce.size()) return std::nullopt;
        nonce = xoredNonce(keys_.iv, sequence);
    }
    std::array<unsigned char, tagLength> tag{};
    std::memcpy(tag.data(), fragment.data() + prefix + length, tagLength);
    const auto aad12 = tls12AdditionalData(sequence, record, length);
    const unsigned char* aad = tls13 ? bytePointer(record.header, 0) : aad12.data();
    const int aadLength = tls13 ? static_cast<int>(record.header.size()) : static_cast<int>(aad12.size());

    int written = 0, finalWritten = 0;
    const bool ok = crypto_->EVP_DecryptInit_ex2(cipher_, nullptr, nullptr, nonce.data(), nullptr) > 0 &&
                    crypto_->EVP_DecryptUpdate(cipher_, nullptr, &written, aad, aadLength) > 0 &&
                    crypto_->EVP_DecryptUpdate(cipher_, out, &written, bytePointer(fragment, prefix), static_cast<int>(length)) > 0 &&
                    crypto_->EVP_CIPHER_CTX_ctrl(cipher_, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tagLength), tag.data()) > 0 &&
                    crypto_->EVP_DecryptFinal_ex(cipher_, out + written, &finalWritten) > 0;
    if (!ok) return std::nullopt;
    if (!tls13) return Opened{record.type, length};
    // TLSInnerPlaintext: content, the real content type, then zeros.
    std::size_t end = length;
    while (end > 0 && out[end - 1] == 0) --end;
    if (end == 0) return std::nullopt;
    return Opened{out[end - 1], end - 1};
}

std::optional<TLSRecordDecryptor::Opened> TLSRecordDecryptor::openCBC(const TLSRecord& record, std::uint64_t sequence,
                                                                     unsigned char* out) {
    const auto fragment = record.fragment;
    const std::size_t macLength = keys_.macKey.size();
    if (fragment.size() < 2 * cbcBlockLength || fragment.size() % cbcBlockLength != 0) return std::nullopt;
    const std::size_t length = fragment.size() - cbcBlockLength;  // after the explicit IV
    if (length < macLength + 1) return std::nullopt;

    int written = 0, finalWritten = 0;
    bool ok = crypto_->EVP_DecryptInit_ex2(cipher_, nullptr, nullptr, bytePointer(fragment, 0), nullptr) > 0 &&
              crypto_->EVP_DecryptUpdate(cipher_, out, &written, bytePointer(fragment, cbcBlockLength), static_cast<int>(length)) > 0 &&
              crypto_->EVP_DecryptFinal_ex(cipher_, out + written, &finalWritten) > 0;
    if (!ok) return std::nullopt;
    // Padding: the last byte p and p bytes before it, all equal to p. The check reads the same
    // bytes whatever p is, and a bad padding still computes a MAC, so that timing says little.
    const unsigned char* decrypted = out;
    const std::size_t padding = decrypted[length - 1];
    unsigned char bad = static_cast<unsigned char>(~lessThanMask(padding + macLength, length));  // p + 1 + mac <= length
    const std::size_t checked = std::min<std::size_t>(256, length);
    for (std::size_t i = 1; i <= checked; ++i) {
        const unsigned char inPadding = lessThanMask(i - 1, padding + 1);
        bad |= inPadding & (decrypted[length - i] ^ static_cast<unsigned char>(padding));
    }
    const std::size_t contentLength = bad ? length - macLength : length - macLength - padding - 1;

    const auto header = tls12AdditionalData(sequence, record, contentLength);
    std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
    std::size_t macWritten = 0;
    ok = crypto_->EVP_MAC_init(mac_, nullptr, 0, nullptr) > 0 &&
         crypto_->EVP_MAC_update(mac_, header.data(), header.size()) > 0 &&
         crypto_->EVP_MAC_update(mac_, decrypted, contentLength) > 0 &&
         crypto_->EVP_MAC_final(mac_, mac.data(), &macWritten, mac.size()) > 0 && macWritten == macLength;
    const bool macMatches = ok && crypto_->CRYPTO_memcmp(mac.data(), decrypted + contentLength, macLength) == 0;
    if (bad || !macMatches) return std::nullopt;
    return Opened{record.type, contentLength};
}

}  // namespace qor::standard::tls
