#pragma once
// The TLS record layer of one direction of a TCP stream, and the hellos of its plaintext handshake.

#include <cstdint>
#include <optional>
#include <vector>

#include "QORModels/streams/TCPStream.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::standard::tls {

enum class TLSContentType : std::uint8_t { changeCipherSpec = 20, alert = 21, handshake = 22, applicationData = 23 };

/// One whole record as it lies in a direction's assembled bytes.
struct TLSRecord {
    std::uint8_t type = 0;
    std::uint16_t version = 0;
    /// The 5-byte header (the additional data of TLS 1.3 records).
    Data header;
    Data fragment;
    /// The record's bytes, header included, in the direction's data.
    ByteRange range;
};

/// The whole records of `data` from offset 0, in order. A record whose length runs past the end
/// of the data (the capture ended inside it) ends the walk; nothing after it is a record.
std::vector<TLSRecord> tlsRecords(const Data& data);

/// Big-endian readers over `Data` that give nothing past the end.
std::optional<std::uint16_t> readU16(const Data& data, std::size_t at);
std::optional<std::uint32_t> readU24(const Data& data, std::size_t at);

/// One handshake message: its type and body.
struct TLSHandshakeMessage {
    std::uint8_t type = 0;
    Data body;
};

/// Joins handshake fragments and cuts whole messages off the front as they complete.
class TLSHandshakeReassembly {
public:
    void append(const Data& fragment);
    /// The next whole message, or nothing until more bytes come.
    std::optional<TLSHandshakeMessage> next();

private:
    std::vector<std::byte> pending_;
    std::size_t consumed_ = 0;
};

namespace handshakeType {
inline constexpr std::uint8_t clientHello = 1, serverHello = 2, finished = 20, keyUpdate = 24;
}

/// What the plaintext hellos say about a session.
struct TLSHelloSummary {
    Data clientRandom;  ///< 32 bytes, from the stream's first ClientHello
    Data serverRandom;  ///< 32 bytes, from the ServerHello that is not a HelloRetryRequest
    std::uint16_t cipherSuite = 0;
    /// The supported_versions extension's selection, else the ServerHello's legacy version.
    std::uint16_t version = 0;
};

/// Reads the stream's first ClientHello and the ServerHello that answers it from the plaintext
/// handshake records. The walk of a direction ends at its first application-data record, and in
/// the server's direction at its first change_cipher_spec record unless a HelloRetryRequest came
/// before it (TLS 1.3 then sends the real ServerHello in the clear after it). A ServerHello
/// carrying the HelloRetryRequest random is passed over for the one that follows.
/// Nothing when either hello is missing or too short to hold its fixed fields.
std::optional<TLSHelloSummary> readHellos(const TCPStream& stream);

}  // namespace qor::standard::tls
