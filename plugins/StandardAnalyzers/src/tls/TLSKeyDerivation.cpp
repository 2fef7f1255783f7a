// Key derivation with OpenSSL's TLS1-PRF and HKDF key derivation functions.

#include "tls/TLSKeyDerivation.hpp"

#include <memory>
#include <string>
#include "QORCommonTools/Keylog.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "tls/FetchedAlgorithms.hpp"

namespace qor::standard::tls {
namespace {

struct KDFContextFree {
    void operator()(EVP_KDF_CTX* ctx) const { libCrypto()->EVP_KDF_CTX_free(ctx); }  // made only once opened
};
using KDFContext = std::unique_ptr<EVP_KDF_CTX, KDFContextFree>;

/// A fresh context of the named KDF, or null when OpenSSL does not offer it.
KDFContext kdfContext(const char* name) {
    EVP_KDF* kdf = fetchedKDF(name);
    if (!kdf) return nullptr;
    return KDFContext(libCrypto()->EVP_KDF_CTX_new(kdf));  // a fetched KDF means an opened library
}

void* mutableBytes(std::span<const std::byte> bytes) {
    // OpenSSL's parameter records are not const-correct; the KDFs only read these buffers.
    return const_cast<std::byte*>(bytes.data());
}

std::optional<Bytes> derive(const char* kdfName, OSSL_PARAM* params, std::size_t length) {
    auto ctx = kdfContext(kdfName);
    if (!ctx || length == 0) return std::nullopt;
    Bytes out(length);
    if (libCrypto()->EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), out.size(), params) <= 0)
        return std::nullopt;
    return out;
}

}  // namespace

std::optional<Bytes> keyLogSecret(std::string_view line) {
    auto secret = bytesFromHex(KeylogFields::of(line).secret);
    if (!secret || secret->empty()) return std::nullopt;
    return secret;
}

std::optional<Bytes> tls12KeyBlock(TLSHash prfHash, std::span<const std::byte> masterSecret,
                                   std::span<const std::byte> serverRandom, std::span<const std::byte> clientRandom,
                                   std::size_t length) {
    static constexpr std::string_view label = "key expansion";
    Bytes seed(reinterpret_cast<const std::byte*>(label.data()), reinterpret_cast<const std::byte*>(label.data()) + label.size());
    seed.insert(seed.end(), serverRandom.begin(), serverRandom.end());
    seed.insert(seed.end(), clientRandom.begin(), clientRandom.end());
    const LibCrypto* crypto = libCrypto();
    if (!crypto) return std::nullopt;
    OSSL_PARAM params[] = {
        crypto->OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digestName(prfHash)), 0),
        crypto->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, mutableBytes(masterSecret), masterSecret.size()),
        crypto->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seed.data(), seed.size()),
        crypto->OSSL_PARAM_construct_end(),
    };
    return derive("TLS1-PRF", params, length);
}

std::optional<Bytes> hkdfExpandLabel(TLSHash hash, std::span<const std::byte> secret, std::string_view label,
                                     std::span<const std::byte> context, std::size_t length) {
    const std::string fullLabel = "tls13 " + std::string(label);
    if (fullLabel.size() > 255 || context.size() > 255 || length > 0xFFFF) return std::nullopt;
    // struct { uint16 length; opaque label<7..255>; opaque context<0..255>; } HkdfLabel;
    Bytes info;
    info.push_back(static_cast<std::byte>(length >> 8));
    info.push_back(static_cast<std::byte>(length & 0xFF));
    info.push_back(static_cast<std::byte>(fullLabel.size()));
    for (char c : fullLabel) info.push_back(static_cast<std::byte>(c));
    info.push_back(static_cast<std::byte>(context.size()));
    info.insert(info.end(), context.begin(), context.end());
    const LibCrypto* crypto = libCrypto();
    if (!crypto) return std::nullopt;
    int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
    OSSL_PARAM params[] = {
        crypto->OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        crypto->OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digestName(hash)), 0),
        crypto->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutableBytes(secret), secret.size()),
        crypto->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()),
        crypto->OSSL_PARAM_construct_end(),
    };
    return derive("HKDF", params, length);
}

std::optional<TLS12SessionKeys> tls12SessionKeys(const TLSCipherSuite& suite, std::span<const std::byte> masterSecret,
                                                 std::span<const std::byte> serverRandom,
                                                 std::span<const std::byte> clientRandom) {
    const std::size_t macLength = suite.macHash ? hashLength(*suite.macHash) : 0;
    const std::size_t total = 2 * (macLength + suite.keyLength + suite.fixedIVLength);
    auto block = tls12KeyBlock(suite.prfHash, masterSecret, serverRandom, clientRandom, total);
    if (!block) return std::nullopt;
    std::size_t at = 0;
    auto take = [&](std::size_t n) {
        Bytes part(block->begin() + static_cast<std::ptrdiff_t>(at), block->begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        return part;
    };
    TLS12SessionKeys keys;
    keys.client.macKey = take(macLength);
    keys.server.macKey = take(macLength);
    keys.client.key = take(suite.keyLength);
    keys.server.key = take(suite.keyLength);
    keys.client.iv = take(suite.fixedIVLength);
    keys.server.iv = take(suite.fixedIVLength);
    return keys;
}

std::optional<TLSTrafficKeys> tls13TrafficKeys(const TLSCipherSuite& suite, std::span<const std::byte> secret) {
    auto key = hkdfExpandLabel(suite.prfHash, secret, "key", {}, suite.keyLength);
    auto iv = hkdfExpandLabel(suite.prfHash, secret, "iv", {}, suite.fixedIVLength);
    if (!key || !iv) return std::nullopt;
    return TLSTrafficKeys{std::move(*key), std::move(*iv), {}};
}

std::optional<Bytes> tls13NextTrafficSecret(const TLSCipherSuite& suite, std::span<const std::byte> secret) {
    return hkdfExpandLabel(suite.prfHash, secret, "traffic upd", {}, hashLength(suite.prfHash));
}

}  // namespace qor::standard::tls
