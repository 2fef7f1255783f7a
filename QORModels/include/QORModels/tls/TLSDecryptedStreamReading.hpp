#pragma once
// A TLS stream's plaintext offered to the stream interpreters.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QORModels/analysis/QORStreamInterpreterRegistry.hpp"
#include "QORModels/streams/StreamMessage.hpp"
#include "QORModels/tls/TLSDecryptionProbeRegistry.hpp"

namespace qor {

/// Reads a TLS stream as what it carries: decrypts it with the registered decrypter
/// (`TLSDecryptionProbeRegistry::shared().currentDecrypter()`) and hands the plaintext to the
/// first stream interpreter that can read it.
///
/// When no interpreter takes the plaintext, the reading has none and no interpretation: showing
/// the plaintext as raw data (it is in `decryption.plaintext`) is the caller's choice.
class TLSDecryptedStreamReading {
public:
    TLSDecryptedStreamReading() = delete;

    struct Reading {
        TLSDecryption decryption;
        /// The display name of the interpreter that read the plaintext; nothing when none could
        /// or the stream did not decrypt.
        std::optional<std::string> interpreterName;
        /// The interpreter's messages, every one marked `isDecrypted`, with byte ranges into the
        /// plaintext's directions (the plaintext's byte indexes lead back to the packets).
        std::optional<StreamInterpretation> interpretation;
    };

    /// The reading of `stream` with the interpreters of the shared registry (its `snapshot()`);
    /// nothing when no decrypter is registered.
    static std::optional<Reading> read(const TCPStream& stream);
    /// The same with the interpreter types given, in priority order.
    static std::optional<Reading> read(const TCPStream& stream, const std::vector<QORStreamInterpreterTypeBox>& types);
};

}  // namespace qor
