// Decrypting a stream with the registered decrypter and interpreting its plaintext.

#include "QORModels/tls/TLSDecryptedStreamReading.hpp"

#include "QORModels/streams/QORStreamInterpreter.hpp"

namespace qor {

std::optional<TLSDecryptedStreamReading::Reading> TLSDecryptedStreamReading::read(const TCPStream& stream) {
    if (!TLSDecryptionProbeRegistry::shared().currentDecrypter()) return std::nullopt;
    return read(stream, QORStreamInterpreterRegistry::shared().snapshot());
}

std::optional<TLSDecryptedStreamReading::Reading> TLSDecryptedStreamReading::read(
    const TCPStream& stream, const std::vector<QORStreamInterpreterTypeBox>& types) {
    const auto decrypter = TLSDecryptionProbeRegistry::shared().currentDecrypter();
    if (!decrypter) return std::nullopt;
    Reading reading{decrypter->decrypt(stream), std::nullopt, std::nullopt};
    if (!reading.decryption.outcome.isDecrypted() || !reading.decryption.plaintext) return reading;
    const auto interpreter = QORStreamInterpreter::firstInterpreter(*reading.decryption.plaintext, types);
    if (!interpreter) return reading;
    reading.interpreterName = interpreter->streamDisplayName();
    reading.interpretation = interpreter->interpret(*reading.decryption.plaintext);
    for (auto& message : reading.interpretation->messages) message.isDecrypted = true;
    return reading;
}

}  // namespace qor
