#pragma once
// What the plug-in's stream interpreters share: placing a message in its direction's bytes and
// putting the two directions' messages into one time line.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QORModels/streams/StreamMessage.hpp"
#include "QORModels/streams/TCPStream.hpp"

namespace qor::standard::streams {

using Direction = TCPSegment::Direction;

/// The assembled bytes of one direction.
const Data& directionData(const TCPStream& stream, Direction direction);

/// A message of `stream` covering `range` of `direction`'s bytes: its packets and time come from
/// the stream's byte index (the stream's start time when no byte of the range is indexed).
StreamMessage placedMessage(const TCPStream& stream, Direction direction, ByteRange range, StreamMessageKind kind,
                            std::string summary, std::vector<DetailRow> detail = {},
                            std::optional<Data> body = std::nullopt, std::optional<StreamBodyHint> hint = std::nullopt,
                            std::optional<std::string> filename = std::nullopt);

/// A `data` message for bytes of a direction that the protocol does not explain ("412 bytes").
StreamMessage rawDataMessage(const TCPStream& stream, Direction direction, ByteRange range, std::string why);

/// One line of a summary: printable ASCII kept, other bytes as "\xNN", cut after 256 characters.
std::string summaryText(std::string_view text);

/// Both directions' messages in one list ordered by time; on equal times the client's come first,
/// and each direction keeps its own order. `clientIndex[i]` and `serverIndex[i]` say where the
/// i-th message of each direction ended up.
struct MergedMessages {
    std::vector<StreamMessage> messages;
    std::vector<std::size_t> clientIndex;
    std::vector<std::size_t> serverIndex;
};
MergedMessages mergeByTime(std::vector<StreamMessage> client, std::vector<StreamMessage> server);

/// A request or reply of a conversation: where it is in its direction's messages and how a
/// pairing names it ("GET /", "200 OK").
struct Exchange {
    std::size_t index = 0;
    std::string label;
};

/// Replies paired with requests in order: `matched` ("request → reply"), then `awaitingReply`
/// for requests left over ("request (no reply)"), then `unmatched` for replies left over
/// ("(no request) → reply", the reply's own index as request and reply index). Nothing when
/// there are neither requests nor replies.
std::optional<std::vector<Pairing>> pairInOrder(const MergedMessages& merged, const std::vector<Exchange>& requests,
                                                const std::vector<Exchange>& replies);

}  // namespace qor::standard::streams
