#pragma once
// TLS 1.2 and 1.3 sessions written record by record and encrypted with OpenSSL from known
// secrets: the other side of the decryption probe, for its tests, fuzzer and benchmark.

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "QORCommonTools/QORAnalyzingUtilities.hpp"

namespace qor::test::tls {

/// Bytes as a string, the way the stream test helpers carry segment payloads.
using Octets = std::string;
/// Segments in order, each with whether the client sent it.
using Segments = std::vector<std::pair<bool, Octets>>;

inline Octets u16(unsigned v) { return {static_cast<char>(v >> 8 & 0xFF), static_cast<char>(v & 0xFF)}; }
inline std::string hexOf(const Octets& bytes) { return QORAnalyzingUtilities::hexStringFromData(Data::fromString(bytes), false); }
/// A TLS record: type, version, length, fragment.
inline Octets record(std::uint8_t type, const Octets& fragment, unsigned version = 0x0303) {
    return static_cast<char>(type) + u16(version) + u16(static_cast<unsigned>(fragment.size())) + fragment;
}
inline Octets handshakeMessage(std::uint8_t type, const Octets& body) {
    return Octets{static_cast<char>(type), static_cast<char>(body.size() >> 16 & 0xFF)} + u16(static_cast<unsigned>(body.size() & 0xFFFF)) + body;
}
/// A ServerHello choosing `suite`; `selected` puts a supported_versions extension in.
inline Octets serverHello(const Octets& random, unsigned suite, unsigned legacyVersion, unsigned selected = 0) {
    Octets extensions;
    if (selected) extensions += u16(43) + u16(2) + u16(selected);
    Octets body = u16(legacyVersion) + random + '\0' + u16(suite) + '\0' + u16(static_cast<unsigned>(extensions.size())) + extensions;
    return record(22, handshakeMessage(2, body), legacyVersion);
}
inline Octets changeCipherSpec() { return record(20, "\x01"); }
/// What sealing a suite's records needs; the MAC digest is the CBC suites' only.
struct SuiteParameters {
    enum Kind { gcm, chacha, cbc, tls13 } kind;
    const char* cipher;
    std::size_t keyLength, ivLength;
    const char* macDigest;
    const char* prfDigest;
};
inline SuiteParameters suiteParameters(unsigned suite) {
    switch (suite) {
        case 0xc02f: return {SuiteParameters::gcm, "AES-128-GCM", 16, 4, nullptr, "SHA256"};
        case 0xc030: return {SuiteParameters::gcm, "AES-256-GCM", 32, 4, nullptr, "SHA384"};
        case 0xcca8: return {SuiteParameters::chacha, "ChaCha20-Poly1305", 32, 12, nullptr, "SHA256"};
        case 0xc013: return {SuiteParameters::cbc, "AES-128-CBC", 16, 16, "SHA1", "SHA256"};
        case 0x003c: return {SuiteParameters::cbc, "AES-128-CBC", 16, 16, "SHA256", "SHA256"};
        case 0xc028: return {SuiteParameters::cbc, "AES-256-CBC", 32, 16, "SHA384", "SHA384"};
        case 0x1301: return {SuiteParameters::tls13, "AES-128-GCM", 16, 12, nullptr, "SHA256"};
        case 0x1302: return {SuiteParameters::tls13, "AES-256-GCM", 32, 12, nullptr, "SHA384"};
        case 0x1303: return {SuiteParameters::tls13, "ChaCha20-Poly1305", 32, 12, nullptr, "SHA256"};
        default: throw std::invalid_argument("no parameters for this suite");
    }
}
/// The length of the named digest's output; 0 for no digest.
inline std::size_t digestLength(const char* name) { return name ? static_cast<std::size_t>(EVP_MD_get_size(EVP_get_digestbyname(name))) : 0; }
/// HMAC of `data` under `key` with the named digest.
inline Octets hmac(const char* digest, const Octets& key, const Octets& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    std::size_t n = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, digest, nullptr, key.data(), key.size(),
                   reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, sizeof out, &n))
        throw std::runtime_error("HMAC failed");
    return Octets(reinterpret_cast<const char*>(out), n);
}
/// The TLS 1.2 PRF (RFC 5246 5): HMAC(secret, A(i) + seed) joined, A(i) = HMAC(secret, A(i - 1)), A(0) = seed.
inline Octets prf(const char* digest, const Octets& secret, const Octets& seed, std::size_t length) {
    Octets out, a = seed;
    while (out.size() < length) out += hmac(digest, secret, (a = hmac(digest, secret, a)) + seed);
    return out.substr(0, length);
}
/// HKDF-Expand-Label with an empty context (RFC 8446 7.1) for lengths of one hash at most, where
/// HKDF-Expand is HMAC(secret, HkdfLabel + 0x01).
inline Octets expandLabel(const char* digest, const Octets& secret, const std::string& label, std::size_t length) {
    const std::string full = "tls13 " + label;
    return hmac(digest, secret, u16(static_cast<unsigned>(length)) + static_cast<char>(full.size()) + full + '\0' + '\x01').substr(0, length);
}
/// One session of `suite` between fixed randoms with fixed secrets. The hellos, the flights
/// that end each side's handshake and application data, each as whole records; `keyLog()` is
/// the key-log text that decrypts it.
class TLSSessionWriter {
public:
    explicit TLSSessionWriter(unsigned suite, char randomSeed = 0x11)
        : code_(suite), suite_(suiteParameters(suite)), hashLength_(digestLength(suite_.prfDigest)),
          clientRandom_(32, randomSeed), serverRandom_(32, static_cast<char>(randomSeed + 0x22)) {
        for (std::size_t i = 0; i < 32; ++i) clientRandom_[i] = static_cast<char>(clientRandom_[i] + i);
        for (std::size_t i = 0; i < 48; ++i) masterSecret_ += static_cast<char>(0x40 + i);
        for (int k = 0; k < 4; ++k) secrets13_[k] = initialSecret13(k);
        // TLS 1.2's key block: client MAC key, server MAC key, client key, server key, client IV, server IV.
        const std::size_t m = digestLength(suite_.macDigest), k = suite_.keyLength, v = suite_.ivLength;
        const Octets block = isTLS13() ? "" : prf(suite_.prfDigest, masterSecret_, "key expansion" + serverRandom_ + clientRandom_, 2 * (m + k + v));
        client_ = isTLS13() ? keys13(secrets13_[0]) : Keys{block.substr(2 * m, k), block.substr(2 * (m + k), v), block.substr(0, m)};
        server_ = isTLS13() ? keys13(secrets13_[1]) : Keys{block.substr(2 * m + k, k), block.substr(2 * (m + k) + v, v), block.substr(m, m)};
    }
    [[nodiscard]] bool isTLS13() const { return suite_.kind == SuiteParameters::tls13; }
    /// A ClientHello offering the suite (and TLS 1.3 by supported_versions when it is a TLS 1.3
    /// suite); with `earlyData`, the early_data extension too.
    Octets clientHello(bool earlyData = false) const {
        Octets extensions = isTLS13() ? u16(43) + u16(5) + '\x04' + u16(0x0304) + u16(0x0303) : "";
        if (earlyData) extensions += u16(42) + u16(0);
        const Octets body = u16(0x0303) + clientRandom_ + '\0' + u16(2) + u16(code_) + '\x01' + '\0' + u16(static_cast<unsigned>(extensions.size())) + extensions;
        return record(22, handshakeMessage(1, body), 0x0301);
    }
    Octets serverHello() const { return tls::serverHello(serverRandom_, code_, 0x0303, isTLS13() ? 0x0304 : 0); }
    /// The hellos and both sides' Finished flights, in the order of the version's handshake.
    Segments handshake() {
        // (Braced lists are evaluated in order, so the records are sealed in that order.)
        if (isTLS13()) return {{true, clientHello()}, {false, serverHello() + finishedFlight(false)}, {true, finishedFlight(true)}};
        return {{true, clientHello()}, {false, serverHello()}, {true, finishedFlight(true)}, {false, finishedFlight(false)}};
    }
    /// TLS 1.3 0-RTT: the client's records that follow use its early traffic keys, until
    /// `endOfEarlyData` (or `handshakeKeys`) puts its handshake keys back.
    void earlyKeys() { client_ = keys13(earlySecret()); }
    /// The EndOfEarlyData message under the early keys; the client's handshake keys follow.
    Octets endOfEarlyData() {
        Octets message = sealed(true, handshakeMessage(5, ""), 22);
        handshakeKeys();
        return message;
    }
    /// The client's handshake keys again, as after early data a server rejected.
    void handshakeKeys() { client_ = keys13(secrets13_[0]); }
    /// The key-log line of the client's early traffic secret.
    std::string earlyKeyLog() const { return "CLIENT_EARLY_TRAFFIC_SECRET " + hexOf(clientRandom_) + " " + hexOf(earlySecret()) + "\n"; }
    /// A TLS 1.3 KeyUpdate from one side; that side's later records use the next secret.
    Octets keyUpdate(bool fromClient) {
        Octets message = sealed(fromClient, handshakeMessage(24, "\x00"), 22);
        auto& secret = secrets13_[fromClient ? 2 : 3];
        side(fromClient) = keys13(secret = expandLabel(suite_.prfDigest, secret, "traffic upd", hashLength_));
        return message;
    }
    /// The whole record carrying `content` under the side's current keys, counting its sequence
    /// numbers: TLS 1.2 records are of `type`; TLS 1.3 records are application_data outside, with
    /// `type` and `padding` zeros inside.
    Octets sealed(bool fromClient, const Octets& content, std::uint8_t type = 23, std::size_t padding = 0) {
        Keys& keys = side(fromClient);
        const std::uint64_t sequence = keys.sequence++;
        Octets seq;
        for (int i = 7; i >= 0; --i) seq += static_cast<char>(sequence >> (8 * i) & 0xFF);
        const Octets header12 = seq + static_cast<char>(type) + u16(0x0303) + u16(static_cast<unsigned>(content.size()));
        if (suite_.kind == SuiteParameters::cbc) {
            Octets padded = content + hmac(suite_.macDigest, keys.mac, header12 + content);
            const std::size_t pad = 15 - padded.size() % 16;
            padded += Octets(pad + 1, static_cast<char>(pad));
            const Octets iv = Octets(16, static_cast<char>(0xA0 + sequence % 16));
            return record(type, iv + crypt(keys.key, iv, "", padded, false));
        }
        if (suite_.kind == SuiteParameters::gcm) return record(type, seq + crypt(keys.key, keys.iv + seq, header12, content, true));
        Octets nonce = keys.iv;
        for (std::size_t i = 4; i < 12; ++i) nonce[i] = static_cast<char>(nonce[i] ^ seq[i - 4]);
        if (suite_.kind == SuiteParameters::chacha) return record(type, crypt(keys.key, nonce, header12, content, true));
        const Octets inner = content + static_cast<char>(type) + Octets(padding, '\0');
        const Octets header = '\x17' + u16(0x0303) + u16(static_cast<unsigned>(inner.size() + 16));
        return header + crypt(keys.key, nonce, header, inner, true);
    }
    /// The key-log lines that decrypt the session (taken before any key update).
    std::string keyLog() const {
        const std::string random = hexOf(clientRandom_);
        if (!isTLS13()) return "CLIENT_RANDOM " + random + " " + hexOf(masterSecret_) + "\n";
        static constexpr const char* labels[] = {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET",
                                                 "CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"};
        std::string text;
        for (int k = 0; k < 4; ++k) text += std::string(labels[k]) + " " + random + " " + hexOf(initialSecret13(k)) + "\n";
        return text;
    }

private:
    /// change_cipher_spec, then the side's protected Finished (TLS 1.3: the server's
    /// EncryptedExtensions too); later records use the side's application keys.
    Octets finishedFlight(bool fromClient) {
        const Octets finished = handshakeMessage(20, Octets(hashLength_, '\x5A'));
        if (!isTLS13()) return changeCipherSpec() + sealed(fromClient, finished, 22);
        Octets flight = changeCipherSpec() + sealed(fromClient, fromClient ? finished : handshakeMessage(8, u16(0)) + finished, 22, 3);
        side(fromClient) = keys13(secrets13_[fromClient ? 2 : 3]);
        return flight;
    }
    /// One direction's keys and its next sequence number.
    struct Keys { Octets key, iv, mac; std::uint64_t sequence = 0; };
    static const unsigned char* bytes(const Octets& s) { return reinterpret_cast<const unsigned char*>(s.data()); }
    /// `input` encrypted under `key` (AEAD: the tag after the ciphertext; CBC: no padding added).
    Octets crypt(const Octets& key, const Octets& iv, const Octets& aad, const Octets& input, bool aead) const {
        const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> owned(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
        EVP_CIPHER_CTX* ctx = owned.get();
        Octets out(input.size() + 32, '\0');
        auto* written = reinterpret_cast<unsigned char*>(out.data());
        int n = 0, m = 0;
        const bool ok = EVP_EncryptInit_ex2(ctx, EVP_get_cipherbyname(suite_.cipher), bytes(key), bytes(iv), nullptr) > 0 &&
                        (aead ? EVP_EncryptUpdate(ctx, nullptr, &n, bytes(aad), static_cast<int>(aad.size())) : EVP_CIPHER_CTX_set_padding(ctx, 0)) > 0 &&
                        EVP_EncryptUpdate(ctx, written, &n, bytes(input), static_cast<int>(input.size())) > 0 &&
                        EVP_EncryptFinal_ex(ctx, written + n, &m) > 0 &&
                        (!aead || EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, written + n + m) > 0);
        if (!ok) throw std::runtime_error("encryption failed");
        out.resize(static_cast<std::size_t>(n + m) + (aead ? 16 : 0));
        return out;
    }
    /// The k-th TLS 1.3 secret of the key log: client and server handshake, client and server traffic.
    Octets initialSecret13(int k) const {
        Octets secret(hashLength_, '\0');
        for (std::size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<char>(0x10 * (k + 1) + i);
        return secret;
    }
    Octets earlySecret() const { return Octets(hashLength_, '\x77'); }
    Keys keys13(const Octets& secret) const {
        return {expandLabel(suite_.prfDigest, secret, "key", suite_.keyLength), expandLabel(suite_.prfDigest, secret, "iv", suite_.ivLength), {}};
    }
    Keys& side(bool fromClient) { return fromClient ? client_ : server_; }

    unsigned code_;
    SuiteParameters suite_;
    std::size_t hashLength_;
    Octets clientRandom_, serverRandom_, masterSecret_;
    Octets secrets13_[4];
    Keys client_, server_;
};

}  // namespace qor::test::tls
