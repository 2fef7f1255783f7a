#pragma once
// TLS 1.2 and 1.3 sessions written record by record and encrypted with OpenSSL from known
// secrets: the other side of the decryption probe, for its tests, fuzzer and benchmark.

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qor::test::tls {

/// Bytes as a string, the way the stream test helpers carry segment payloads.
using Octets = std::string;

inline Octets u16(unsigned v) { return {static_cast<char>(v >> 8 & 0xFF), static_cast<char>(v & 0xFF)}; }
inline Octets u24(unsigned v) { return static_cast<char>(v >> 16 & 0xFF) + u16(v & 0xFFFF); }

inline std::string hexOf(const Octets& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

/// A TLS record: type, version, length, fragment.
inline Octets record(std::uint8_t type, const Octets& fragment, unsigned version = 0x0303) {
    return static_cast<char>(type) + u16(version) + u16(static_cast<unsigned>(fragment.size())) + fragment;
}
inline Octets handshakeMessage(std::uint8_t type, const Octets& body) {
    return static_cast<char>(type) + u24(static_cast<unsigned>(body.size())) + body;
}

/// A ClientHello offering `suite` (and TLS 1.3 by supported_versions when asked).
inline Octets clientHello(const Octets& random, unsigned suite, bool offerTLS13) {
    Octets extensions;
    if (offerTLS13) extensions += u16(43) + u16(5) + '\x04' + u16(0x0304) + u16(0x0303);
    Octets body = u16(0x0303) + random + '\0' + u16(2) + u16(suite) + '\x01' + '\0' + u16(static_cast<unsigned>(extensions.size())) + extensions;
    return record(22, handshakeMessage(1, body), 0x0301);
}

/// A ServerHello choosing `suite`; `selected` puts a supported_versions extension in.
inline Octets serverHello(const Octets& random, unsigned suite, unsigned legacyVersion, unsigned selected = 0) {
    Octets extensions;
    if (selected) extensions += u16(43) + u16(2) + u16(selected);
    Octets body = u16(legacyVersion) + random + '\0' + u16(suite) + '\0' + u16(static_cast<unsigned>(extensions.size())) + extensions;
    return record(22, handshakeMessage(2, body), legacyVersion);
}

inline Octets changeCipherSpec() { return record(20, "\x01"); }

struct SuiteParameters {
    enum Kind { gcm, chacha, cbc, tls13 } kind;
    const char* cipher;
    std::size_t keyLength, ivLength;
    const char* macDigest;  ///< CBC only
    std::size_t macLength;
    const char* prfDigest;
    std::size_t hashLength;
};

inline SuiteParameters suiteParameters(unsigned suite) {
    switch (suite) {
        case 0xc02f: return {SuiteParameters::gcm, "AES-128-GCM", 16, 4, nullptr, 0, "SHA256", 32};
        case 0xc030: return {SuiteParameters::gcm, "AES-256-GCM", 32, 4, nullptr, 0, "SHA384", 48};
        case 0xcca8: return {SuiteParameters::chacha, "ChaCha20-Poly1305", 32, 12, nullptr, 0, "SHA256", 32};
        case 0xc013: return {SuiteParameters::cbc, "AES-128-CBC", 16, 16, "SHA1", 20, "SHA256", 32};
        case 0x003c: return {SuiteParameters::cbc, "AES-128-CBC", 16, 16, "SHA256", 32, "SHA256", 32};
        case 0xc028: return {SuiteParameters::cbc, "AES-256-CBC", 32, 16, "SHA384", 48, "SHA384", 48};
        case 0x1301: return {SuiteParameters::tls13, "AES-128-GCM", 16, 12, nullptr, 0, "SHA256", 32};
        case 0x1302: return {SuiteParameters::tls13, "AES-256-GCM", 32, 12, nullptr, 0, "SHA384", 48};
        case 0x1303: return {SuiteParameters::tls13, "ChaCha20-Poly1305", 32, 12, nullptr, 0, "SHA256", 32};
        default: throw std::invalid_argument("no parameters for this suite");
    }
}

inline Octets kdf(const char* name, OSSL_PARAM* params, std::size_t length) {
    EVP_KDF* algorithm = EVP_KDF_fetch(nullptr, name, nullptr);
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(algorithm);
    Octets out(length, '\0');
    const int ok = EVP_KDF_derive(ctx, reinterpret_cast<unsigned char*>(out.data()), length, params);
    EVP_KDF_CTX_free(ctx);
    EVP_KDF_free(algorithm);
    if (ok <= 0) throw std::runtime_error(std::string(name) + " failed");
    return out;
}

inline Octets expandLabel(const char* digest, Octets secret, const std::string& label, std::size_t length) {
    const std::string full = "tls13 " + label;
    Octets info = u16(static_cast<unsigned>(length)) + static_cast<char>(full.size()) + full + '\0';
    int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
                           OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digest), 0),
                           OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, secret.data(), secret.size()),
                           OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()),
                           OSSL_PARAM_construct_end()};
    return kdf("HKDF", params, length);
}

/// Seals one direction's records under one key, counting its sequence numbers.
class RecordSealer {
public:
    RecordSealer() = default;
    RecordSealer(SuiteParameters suite, Octets key, Octets iv, Octets macKey = {})
        : suite_(suite), key_(std::move(key)), iv_(std::move(iv)), macKey_(std::move(macKey)) {}

    /// The whole record carrying `content`: TLS 1.2 records are of `type`; TLS 1.3 records are
    /// application_data outside, with `type` and `padding` zeros inside.
    Octets seal(std::uint8_t type, const Octets& content, std::size_t padding = 0) {
        const std::uint64_t sequence = sequence_++;
        Octets seq;
        for (int i = 7; i >= 0; --i) seq += static_cast<char>(sequence >> (8 * i) & 0xFF);
        if (suite_.kind == SuiteParameters::cbc) {
            const Octets mac = hmac(seq + static_cast<char>(type) + u16(0x0303) + u16(static_cast<unsigned>(content.size())) + content);
            Octets padded = content + mac;
            const std::size_t pad = 15 - padded.size() % 16;
            padded += Octets(pad + 1, static_cast<char>(pad));
            const Octets iv = Octets(16, static_cast<char>(0xA0 + sequence % 16));
            return record(type, iv + crypt(iv, "", padded, false));
        }
        Octets nonce(12, '\0');
        Octets explicitNonce;
        if (suite_.kind == SuiteParameters::gcm) {
            explicitNonce = seq;
            nonce = iv_ + seq;
        } else {
            for (std::size_t i = 0; i < 12; ++i) nonce[i] = static_cast<char>(iv_[i] ^ (i < 4 ? 0 : seq[i - 4]));
        }
        if (suite_.kind == SuiteParameters::tls13) {
            const Octets inner = content + static_cast<char>(type) + Octets(padding, '\0');
            const Octets header = '\x17' + u16(0x0303) + u16(static_cast<unsigned>(inner.size() + 16));
            return header + crypt(nonce, header, inner, true);
        }
        const Octets aad = seq + static_cast<char>(type) + u16(0x0303) + u16(static_cast<unsigned>(content.size()));
        return record(type, explicitNonce + crypt(nonce, aad, content, true));
    }

private:
    Octets crypt(const Octets& iv, const Octets& aad, const Octets& input, bool aead) const {
        EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, suite_.cipher, nullptr);
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        auto u = [](const Octets& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
        Octets out(input.size() + 32, '\0');
        int n = 0, m = 0;
        bool ok = EVP_EncryptInit_ex2(ctx, cipher, u(key_), u(iv), nullptr) > 0;
        if (!aead) ok = ok && EVP_CIPHER_CTX_set_padding(ctx, 0) > 0;
        if (aead && !aad.empty()) ok = ok && EVP_EncryptUpdate(ctx, nullptr, &n, u(aad), static_cast<int>(aad.size())) > 0;
        ok = ok && EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n, u(input), static_cast<int>(input.size())) > 0;
        ok = ok && EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &m) > 0;
        out.resize(static_cast<std::size_t>(n + m));
        if (aead) {
            char tag[16];
            ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tag) > 0;
            out.append(tag, 16);
        }
        EVP_CIPHER_CTX_free(ctx);
        EVP_CIPHER_free(cipher);
        if (!ok) throw std::runtime_error("encryption failed");
        return out;
    }

    Octets hmac(const Octets& input) const {
        EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(suite_.macDigest), 0),
                               OSSL_PARAM_construct_end()};
        Octets out(EVP_MAX_MD_SIZE, '\0');
        std::size_t n = 0;
        auto u = [](const Octets& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
        const bool ok = EVP_MAC_init(ctx, u(macKey_), macKey_.size(), params) > 0 &&
                        EVP_MAC_update(ctx, u(input), input.size()) > 0 &&
                        EVP_MAC_final(ctx, reinterpret_cast<unsigned char*>(out.data()), &n, out.size()) > 0;
        EVP_MAC_CTX_free(ctx);
        EVP_MAC_free(mac);
        if (!ok) throw std::runtime_error("HMAC failed");
        out.resize(n);
        return out;
    }

    SuiteParameters suite_{};
    Octets key_, iv_, macKey_;
    std::uint64_t sequence_ = 0;
};

/// One session of `suite` between fixed randoms with fixed secrets. The hellos, the flights
/// that end each side's handshake and application data, each as whole records; `keyLog()` is
/// the key-log text that decrypts it.
class TLSSessionWriter {
public:
    explicit TLSSessionWriter(unsigned suite, char randomSeed = 0x11)
        : code_(suite), suite_(suiteParameters(suite)),
          clientRandom_(32, randomSeed), serverRandom_(32, static_cast<char>(randomSeed + 0x22)) {
        for (std::size_t i = 0; i < 32; ++i) clientRandom_[i] = static_cast<char>(clientRandom_[i] + i);
        for (std::size_t i = 0; i < 48; ++i) masterSecret_ += static_cast<char>(0x40 + i);
        for (int k = 0; k < 4; ++k) {
            secrets13_[k] = Octets(suite_.hashLength, '\0');
            for (std::size_t i = 0; i < suite_.hashLength; ++i) secrets13_[k][i] = static_cast<char>(0x10 * (k + 1) + i);
            initialSecrets13_[k] = secrets13_[k];
        }
        if (isTLS13()) {
            client_ = sealer13(secrets13_[0]);
            server_ = sealer13(secrets13_[1]);
        } else {
            const std::size_t total = 2 * (suite_.macLength + suite_.keyLength + suite_.ivLength);
            Octets seed = "key expansion" + serverRandom_ + clientRandom_;
            OSSL_PARAM params[] = {
                OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(suite_.prfDigest), 0),
                OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, masterSecret_.data(), masterSecret_.size()),
                OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seed.data(), seed.size()), OSSL_PARAM_construct_end()};
            const Octets block = kdf("TLS1-PRF", params, total);
            std::size_t at = 0;
            auto take = [&](std::size_t n) { at += n; return block.substr(at - n, n); };
            const Octets clientMac = take(suite_.macLength), serverMac = take(suite_.macLength);
            const Octets clientKey = take(suite_.keyLength), serverKey = take(suite_.keyLength);
            const Octets clientIV = take(suite_.ivLength), serverIV = take(suite_.ivLength);
            client_ = RecordSealer(suite_, clientKey, clientIV, clientMac);
            server_ = RecordSealer(suite_, serverKey, serverIV, serverMac);
        }
    }

    [[nodiscard]] bool isTLS13() const { return suite_.kind == SuiteParameters::tls13; }
    [[nodiscard]] const Octets& clientRandom() const { return clientRandom_; }

    Octets clientHello() const { return tls::clientHello(clientRandom_, code_, isTLS13()); }
    Octets serverHello() const {
        return isTLS13() ? tls::serverHello(serverRandom_, code_, 0x0303, 0x0304) : tls::serverHello(serverRandom_, code_, 0x0303);
    }
    /// change_cipher_spec, then the side's protected Finished (TLS 1.3: the server's
    /// EncryptedExtensions too); later records use the side's application keys.
    Octets finishedFlight(bool fromClient) {
        const Octets finished = handshakeMessage(20, Octets(suite_.hashLength, '\x5A'));
        if (!isTLS13()) return changeCipherSpec() + side(fromClient).seal(22, finished);
        const Octets messages = fromClient ? finished : handshakeMessage(8, u16(0)) + finished;
        Octets flight = changeCipherSpec() + side(fromClient).seal(22, messages, 3);
        side(fromClient) = sealer13(secrets13_[fromClient ? 2 : 3]);
        return flight;
    }
    /// A protected record of `type` (application data by default).
    Octets sealed(bool fromClient, const Octets& content, std::uint8_t type = 23, std::size_t padding = 0) {
        return side(fromClient).seal(type, content, padding);
    }
    /// A TLS 1.3 KeyUpdate from one side; that side's later records use the next secret.
    Octets keyUpdate(bool fromClient) {
        Octets message = side(fromClient).seal(22, handshakeMessage(24, "\x00"));
        auto& secret = secrets13_[fromClient ? 2 : 3];
        secret = expandLabel(suite_.prfDigest, secret, "traffic upd", suite_.hashLength);
        side(fromClient) = sealer13(secret);
        return message;
    }

    /// The key-log lines that decrypt the session (taken before any key update).
    std::string keyLog() const {
        const std::string random = hexOf(clientRandom_);
        if (!isTLS13()) return "CLIENT_RANDOM " + random + " " + hexOf(masterSecret_) + "\n";
        static constexpr const char* labels[] = {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET",
                                                 "CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"};
        std::string text;
        for (int k = 0; k < 4; ++k) text += std::string(labels[k]) + " " + random + " " + hexOf(initialSecrets13_[k]) + "\n";
        return text;
    }

private:
    RecordSealer sealer13(const Octets& secret) const {
        return RecordSealer(suite_, expandLabel(suite_.prfDigest, secret, "key", suite_.keyLength),
                            expandLabel(suite_.prfDigest, secret, "iv", suite_.ivLength));
    }
    RecordSealer& side(bool fromClient) { return fromClient ? client_ : server_; }

    unsigned code_;
    SuiteParameters suite_;
    Octets clientRandom_, serverRandom_, masterSecret_;
    Octets secrets13_[4];
    Octets initialSecrets13_[4];
    RecordSealer client_, server_;
};

}  // namespace qor::test::tls
