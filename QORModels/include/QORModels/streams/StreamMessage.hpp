#pragma once
// What a stream interpreter makes of a stream: messages, request/reply pairings, body hints.

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "QORModels/streams/TCPStream.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/StringEncoding.hpp"
#include "QORPlatform/UUID.hpp"

namespace qor {

enum class StreamMessageKind { request, reply, push, handshake, data };
/// "request", "reply", "push", "handshake", "data".
const char* rawValue(StreamMessageKind kind);

struct DetailRow {
    std::string name;
    std::string value;
    friend bool operator==(const DetailRow&, const DetailRow&) = default;
};

/// How a body is to be shown.
class StreamBodyHint {
public:
    struct Text { StringEncoding encoding = StringEncoding::utf8; friend bool operator==(const Text&, const Text&) = default; };
    struct Image { std::string subtype; friend bool operator==(const Image&, const Image&) = default; };
    struct Json { friend bool operator==(const Json&, const Json&) = default; };
    struct Html { friend bool operator==(const Html&, const Html&) = default; };
    struct Xml { friend bool operator==(const Xml&, const Xml&) = default; };
    struct Binary { friend bool operator==(const Binary&, const Binary&) = default; };

    static StreamBodyHint text(StringEncoding encoding) { return StreamBodyHint(Text{encoding}); }
    static StreamBodyHint image(std::string subtype) { return StreamBodyHint(Image{std::move(subtype)}); }
    static StreamBodyHint json() { return StreamBodyHint(Json{}); }
    static StreamBodyHint html() { return StreamBodyHint(Html{}); }
    static StreamBodyHint xml() { return StreamBodyHint(Xml{}); }
    static StreamBodyHint binary() { return StreamBodyHint(Binary{}); }

    using Case = std::variant<Text, Image, Json, Html, Xml, Binary>;
    [[nodiscard]] const Case& value() const noexcept { return value_; }
    friend bool operator==(const StreamBodyHint&, const StreamBodyHint&) = default;

private:
    explicit StreamBodyHint(Case value) : value_(std::move(value)) {}
    Case value_;
};

/// One unit of a conversation as the user sees it.
struct StreamMessage {
    StreamMessage(TCPSegment::Direction direction, StreamMessageKind kind, std::string summary,
                  std::vector<DetailRow> detail, std::optional<Data> body, std::optional<StreamBodyHint> bodyHint,
                  std::optional<ByteRange> byteRange, std::vector<std::int64_t> packetIds, double timestamp,
                  std::optional<std::string> filename, bool isDecrypted)
        : direction(direction), kind(kind), summary(std::move(summary)), detail(std::move(detail)),
          body(std::move(body)), bodyHint(std::move(bodyHint)), byteRange(byteRange),
          packetIds(std::move(packetIds)), timestamp(timestamp), filename(std::move(filename)),
          isDecrypted(isDecrypted) {}

    UUID id;  ///< new for every message made
    TCPSegment::Direction direction;
    StreamMessageKind kind;
    std::string summary;
    std::vector<DetailRow> detail;
    std::optional<Data> body;
    std::optional<StreamBodyHint> bodyHint;
    std::optional<ByteRange> byteRange;  ///< bytes of the direction's assembled data it covers
    std::vector<std::int64_t> packetIds;
    double timestamp;
    std::optional<std::string> filename;
    bool isDecrypted;

    /// One `data` message per leaf of a MIME message (or one "message" for none), each with the
    /// given direction, range, packets and time.
    static std::vector<StreamMessage> dataMessages(const Data& mimeMessage, TCPSegment::Direction direction,
                                                   std::optional<ByteRange> byteRange,
                                                   const std::vector<std::int64_t>& packetIds, double timestamp);
};

enum class PairingStatus { awaitingReply, matched, unmatched };
/// "awaitingReply", "matched", "unmatched".
const char* rawValue(PairingStatus status);

struct Pairing {
    Pairing(std::int64_t requestIndex, std::optional<std::int64_t> replyIndex, std::string summary, PairingStatus status)
        : requestIndex(requestIndex), replyIndex(replyIndex), summary(std::move(summary)), status(status) {}
    UUID id;
    std::int64_t requestIndex;  ///< index into the interpretation's messages
    std::optional<std::int64_t> replyIndex;
    std::string summary;
    PairingStatus status;
};

struct StreamInterpretation {
    std::vector<StreamMessage> messages;  ///< in stream order
    std::optional<std::vector<Pairing>> pairings;  ///< nothing without a request/reply structure
};

}  // namespace qor
