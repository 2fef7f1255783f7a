#pragma once
// Decryption probes that plug-ins offer, and the process-wide registry that holds one.

#include <memory>
#include <optional>

#include "QORModels/streams/TCPStream.hpp"
#include "QORModels/tls/TLSDecryptionOutcome.hpp"
#include "QORPlatform/UnfairLock.hpp"

namespace qor {

/// Tells whether a TCP stream's TLS records decrypt with the keys at hand. The keys at hand are
/// the process-wide current key index (`TLSKeyIndex::current()`). Implementations are immutable
/// and may be asked from any thread.
class TLSStreamDecryptionProbing {
public:
    virtual ~TLSStreamDecryptionProbing() = default;
    [[nodiscard]] virtual TLSDecryptionOutcome probe(const TCPStream& stream) const = 0;
};

/// A stream decrypted: the outcome and, when every application-data record of both directions
/// decrypted up to the first one that did not, the plaintext as a stream of its own.
struct TLSDecryption {
    TLSDecryptionOutcome outcome = TLSDecryptionOutcome::notDecrypted(TLSDecryptionFailure::noHandshake);
    /// The application data of each direction, in record order, with the stream's key, segments,
    /// endpoints and times. Its byte indexes lead from the plaintext back to the packets that
    /// carried each record. Present when `outcome` is `decrypted`.
    std::optional<TCPStream> plaintext;
};

/// A probe that also gives the plaintext it found. The registry keeps a probing interface; a
/// caller that wants the bytes asks the stored probe whether it implements this one too.
class TLSStreamDecrypting : public TLSStreamDecryptionProbing {
public:
    /// Decrypts the stream's TLS sessions (the first ClientHello of the stream names the keys).
    [[nodiscard]] virtual TLSDecryption decrypt(const TCPStream& stream) const = 0;
};

/// The process-wide registry: at most one probe.
///
/// Thread safety: `register` and `currentProbe` take the registry's lock, held only for the copy
/// or the swap of the reference, and may be called from any thread.
class TLSDecryptionProbeRegistry {
public:
    static TLSDecryptionProbeRegistry& shared();

    /// Stores `probe`, replacing any earlier one (null empties the registry).
    void register_(std::shared_ptr<const TLSStreamDecryptionProbing> probe);
    /// The stored probe, or null.
    [[nodiscard]] std::shared_ptr<const TLSStreamDecryptionProbing> currentProbe();
    /// The stored probe when it gives plaintext too, or null.
    [[nodiscard]] std::shared_ptr<const TLSStreamDecrypting> currentDecrypter();

private:
    UnfairLock lock_;
    std::shared_ptr<const TLSStreamDecryptionProbing> storedProbe_;
};

}  // namespace qor
