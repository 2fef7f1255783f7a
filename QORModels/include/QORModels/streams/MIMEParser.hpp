#pragma once
// MIME bodies (RFC 2045, RFC 2046): header fields, media types, parameters, and the leaves of a
// multipart tree with their transfer coding undone.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "QORModels/streams/StreamMessage.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/StringEncoding.hpp"

namespace qor {

/// Header fields in order of appearance, names as written.
using MIMEHeaders = std::vector<std::pair<std::string, std::string>>;

/// One leaf of a MIME message.
struct MIMEPart {
    MIMEHeaders headers;
    std::string contentType;  ///< the lower-cased media type ("text/plain" when none is given)
    std::optional<std::string> filename;
    Data body;  ///< transfer decoding already undone

    /// The "charset" parameter of "content-type" mapped to an encoding; UTF-8 for none or an
    /// unknown name.
    [[nodiscard]] StringEncoding charset() const;
    /// How the body is best shown, from `contentType`.
    [[nodiscard]] StreamBodyHint streamBodyHint() const;
};

/// How far the parser goes into hostile input. A message past a limit still parses: a multipart
/// nested deeper than `maxDepth` is kept as one leaf (its body as it stands), leaves after the
/// `maxLeaves`-th are dropped, and decoded bodies stop growing once `maxDecodedBytes` bytes have
/// been decoded in total (the rest of that body and later decoded bodies are cut). Bodies without
/// a transfer coding are slices of the input and cost nothing, so they do not count.
struct MIMELimits {
    std::size_t maxDepth = 32;
    std::size_t maxLeaves = 4096;
    std::size_t maxDecodedBytes = std::size_t{64} << 20;
    /// Delimiters longer than this are not looked for (RFC 2046 allows 70 characters); the
    /// message is then one leaf.
    std::size_t maxBoundaryLength = 200;
};

/// The leaves of a message, and what the limits left out, one line each (empty when nothing).
struct MIMEParseResult {
    std::vector<MIMEPart> parts;
    std::vector<std::string> limitNotes;
};

namespace MIMEParser {

/// The leaves of the MIME tree in document order; empty bytes give an empty list.
std::vector<MIMEPart> parseLeafParts(const Data& data);
/// The same, with the limits that were met said in `limitNotes`.
MIMEParseResult parse(const Data& data, const MIMELimits& limits = {});
/// The leaves of an entity whose header fields are already read (an HTTP message's body with the
/// message's fields).
MIMEParseResult parse(const MIMEHeaders& headers, const Data& body, const MIMELimits& limits = {});
/// `data` messages for the leaves of a parse (or one "message" with all of `whole` when there is
/// no leaf), each with the given direction, range, packets and time; a limit met is a "MIME
/// limit" detail row on each of them.
std::vector<StreamMessage> leafMessages(MIMEParseResult parsed, const Data& whole, TCPSegment::Direction direction,
                                        std::optional<ByteRange> byteRange, const std::vector<std::int64_t>& packetIds,
                                        double timestamp);
/// The value of the first header whose name equals `name` ignoring ASCII case.
std::optional<std::string> headerValue(std::string_view name, const MIMEHeaders& headers);
/// The text before the first ";", trimmed of spaces and tabs, lower-cased.
std::string mediaType(std::string_view value);
/// The value of parameter `name` ("boundary", "charset", "filename") in a header value, without
/// one pair of enclosing double quotes; nothing when absent or when `value` is nothing.
std::optional<std::string> parameter(std::string_view name, const std::optional<std::string>& value);
/// Text without leading and trailing spaces and tabs (the blanks of header fields).
std::string_view trimmed(std::string_view text);
/// Text with ASCII capitals lower-cased.
std::string lowered(std::string_view text);
/// Whether two texts are equal ignoring ASCII case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);
/// Header text (ISO Latin 1 bytes) split into fields, folded lines joined by one space.
MIMEHeaders parseHeaders(const Data& headerBytes);

}  // namespace MIMEParser

}  // namespace qor
