#pragma once
// The standard plug-in's TLS decryption probe: decrypts a stream's TLS 1.2 and TLS 1.3 records
// with the key-log secrets of the process-wide key index.

#include "QORModels/tls/TLSDecryptionProbeRegistry.hpp"

namespace qor::standard::tls {

/// Decrypts the first TLS session of a TCP stream with the secrets that the current key index
/// (`TLSKeyIndex::current()`) holds for the client random of the stream's first ClientHello.
///
/// Handled: TLS 1.2 with AES-GCM, ChaCha20-Poly1305 and AES-CBC with HMAC-SHA1/SHA-256/SHA-384
/// suites (keys from the `CLIENT_RANDOM` master secret), and TLS 1.3 with its three AEAD suites
/// (keys from the four handshake and traffic secrets, key updates followed). A TLS 1.3 client
/// that offered early data (0-RTT) may send records under its early traffic keys before its
/// handshake ends: with `CLIENT_EARLY_TRAFFIC_SECRET` in the key log their application data is
/// decrypted in its place in the client's plaintext; without it they are passed over (as a
/// server that rejects early data passes them over) and the rest decrypts as usual. Early data
/// never decides the outcome: the probe still needs the first application data under the
/// traffic keys.
///
/// Outcomes, in the order they are decided:
/// - `noHandshake`: the stream has no ClientHello, or no ServerHello answering it.
/// - `unsupportedVersion`: the negotiated version is not TLS 1.2 or 1.3, or its suite is not
///   one of those above.
/// - `noKeyMaterial`: the key index holds no usable secret for the session: a `CLIENT_RANDOM`
///   line of 48 bytes for TLS 1.2; for TLS 1.3 all four of `CLIENT_HANDSHAKE_TRAFFIC_SECRET`,
///   `SERVER_HANDSHAKE_TRAFFIC_SECRET`, `CLIENT_TRAFFIC_SECRET_0`, `SERVER_TRAFFIC_SECRET_0` of the
///   suite's hash length (the handshake secrets find where the application keys take over).
/// - `keyMismatch`: in some direction, a protected record up to and including its first
///   application-data record does not authenticate.
/// - `recordDecryptionFailed`: a later record does not authenticate.
/// - `decrypted`: otherwise; a session whose records end before any application data (or that
///   has none) counts as decrypted with no plaintext.
/// When the index holds several different secrets for the session, each is tried in turn and
/// the first that does not give `keyMismatch` wins.
///
/// A TCP connection may carry several TLS sessions one after another: a hello in the clear
/// after a session's protected records starts the next one. The outcome is that of the first
/// session, which the stream's first ClientHello names; `decrypt` goes on to the later ones.
///
/// A TLS 1.2 renegotiation (new hellos under the session's keys, then each side's
/// change_cipher_spec) goes on under the keys of the new hellos: the master secret the key log
/// holds for the new client random, with the new server random and suite. Without that secret
/// the records after the renegotiation are left out.
///
/// Not handled: encrypt-then-MAC (RFC 7366). A record cut short by the end of the capture is
/// left out without failing.
///
/// Immutable; may be asked from any thread.
class TLSDecryptionProbe final : public TLSStreamDecrypting {
public:
    /// Decrypts up to the first application-data record of each direction.
    [[nodiscard]] TLSDecryptionOutcome probe(const TCPStream& stream) const override;
    /// Decrypts every record. The plaintext stream holds each direction's application data in
    /// record order, with one byte-index span per record that carried any, naming the packets
    /// and time that `stream.locate` gives for the record's bytes; handshake, alert and
    /// change_cipher_spec content is left out. The application data of each later session of
    /// the connection that decrypts, with the secrets its own client random names, follows that
    /// of the session before; the first later session that does not decrypt ends it.
    [[nodiscard]] TLSDecryption decrypt(const TCPStream& stream) const override;
};

}  // namespace qor::standard::tls
