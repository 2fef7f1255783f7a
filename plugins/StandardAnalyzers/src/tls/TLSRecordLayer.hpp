#pragma once
// The TLS record layer of one direction of a TCP stream, and the hellos of its plaintext handshake.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "QORCommonTools/ByteReader.hpp"
#include "QORModels/streams/TCPStream.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::standard::tls {

enum class TLSContentType : std::uint8_t { changeCipherSpec = 20, alert = 21, handshake = 22, applicationData = 23 };
constexpr std::uint8_t contentType(TLSContentType type) { return static_cast<std::uint8_t>(type); }

/// One whole record as it lies in a direction's assembled bytes (its spans point into them).
struct TLSRecord {
    std::uint8_t type = 0;
    std::uint16_t version = 0;
    /// The 5-byte header (the additional data of TLS 1.3 records).
    std::span<const std::byte> header;
    std::span<const std::byte> fragment;
    /// The record's bytes, header included, in the direction's data.
    ByteRange range;
};

/// The whole records of a direction's data from offset 0, one at a time, in order. A record
/// whose length runs past the end of the data (the capture ended inside it) ends the walk;
/// nothing after it is a record. The data must outlive the reader and its records.
class TLSRecordReader {
public:
    /// The records from offset `from` of `data` (a record's range is still counted from the
    /// data's start).
    explicit TLSRecordReader(const Data& data, std::size_t from = 0) : reader_(data) { (void)reader_.skip(std::min(from, data.size())); }
    /// The next whole record, or nothing at the end of the walk.
    std::optional<TLSRecord> next();

private:
    ByteReader reader_;
};

/// One handshake message: its type and body.
struct TLSHandshakeMessage {
    std::uint8_t type = 0;
    /// Points into the reassembly's buffer: valid until its next `append`.
    std::span<const std::byte> body;
};

/// Joins handshake fragments and cuts whole messages off the front as they complete.
class TLSHandshakeReassembly {
public:
    void append(std::span<const std::byte> fragment);
    /// The next whole message, or nothing until more bytes come.
    std::optional<TLSHandshakeMessage> next();

private:
    std::vector<std::byte> pending_;
    std::size_t consumed_ = 0;
};

namespace handshakeType {
inline constexpr std::uint8_t clientHello = 1, serverHello = 2, endOfEarlyData = 5, finished = 20, keyUpdate = 24;
}

/// The random of a ClientHello or ServerHello body (the 32 bytes after its legacy version);
/// nothing when the body is cut short.
std::optional<std::span<const std::byte>> helloRandom(std::span<const std::byte> body);
/// The cipher suite a ServerHello body chooses; nothing when the body is cut short.
std::optional<std::uint16_t> serverHelloSuite(std::span<const std::byte> body);

/// Whether `record` is a plaintext handshake record that starts a hello of `helloType`
/// (`handshakeType::clientHello` or `serverHello`): its message type, a body long enough for
/// the hello's version and random, and a legacy version of 3.x, which ciphertext matches by
/// chance about once in 2^32 records.
bool startsHello(const TLSRecord& record, std::uint8_t helloType);

/// What the plaintext hellos say about a session.
struct TLSHelloSummary {
    Data clientRandom;  ///< 32 bytes, from the stream's first ClientHello
    Data serverRandom;  ///< 32 bytes, from the ServerHello that is not a HelloRetryRequest
    std::uint16_t cipherSuite = 0;
    /// The supported_versions extension's selection, else the ServerHello's legacy version.
    std::uint16_t version = 0;
    /// Whether the ClientHello carries the early_data extension (TLS 1.3 0-RTT): its client may
    /// send application data under the early traffic keys before its handshake ends.
    bool earlyDataOffered = false;
};

/// Reads the stream's first ClientHello and the ServerHello that answers it from the plaintext
/// handshake records. The walk of a direction ends at its first application-data record, and in
/// the server's direction at its first change_cipher_spec record unless a HelloRetryRequest came
/// before it (TLS 1.3 then sends the real ServerHello in the clear after it). A ClientHello too
/// short to hold its random is passed over; a ServerHello carrying the HelloRetryRequest random
/// is passed over for the one that follows.
/// Nothing when either hello is missing, or the answering ServerHello is too short to hold its
/// fixed fields.
/// `clientFrom` and `serverFrom`: where each direction's session starts (a later session of the
/// same connection starts after the records of the one before).
std::optional<TLSHelloSummary> readHellos(const TCPStream& stream, std::size_t clientFrom = 0, std::size_t serverFrom = 0);

}  // namespace qor::standard::tls
