// `data` messages from one MIME message (a mail's DATA section, a multipart body).

#include "QORModels/streams/MIMEParser.hpp"
#include "QORModels/streams/StreamMessage.hpp"

namespace qor {

std::vector<StreamMessage> MIMEParser::leafMessages(MIMEParseResult parsed, const Data& whole,
                                                    TCPSegment::Direction direction, std::optional<ByteRange> byteRange,
                                                    const std::vector<std::int64_t>& packetIds, double timestamp) {
    std::vector<DetailRow> notes;
    for (auto& note : parsed.limitNotes) notes.push_back({"MIME limit", std::move(note)});
    std::vector<StreamMessage> out;
    if (parsed.parts.empty()) {
        out.emplace_back(direction, StreamMessageKind::data, "message", notes, whole, StreamBodyHint::binary(),
                         byteRange, packetIds, timestamp, std::nullopt, false);
        return out;
    }
    out.reserve(parsed.parts.size());
    for (auto& part : parsed.parts) {
        auto summary = part.filename ? *part.filename : part.contentType;
        auto hint = part.streamBodyHint();
        out.emplace_back(direction, StreamMessageKind::data, std::move(summary), notes, std::move(part.body),
                         std::move(hint), byteRange, packetIds, timestamp, std::move(part.filename), false);
    }
    return out;
}

/// A message cut short by the parser's limits (`MIMELimits`) says so in a detail row
/// "MIME limit" per limit met, on every message made from it.
std::vector<StreamMessage> StreamMessage::dataMessages(const Data& mimeMessage, TCPSegment::Direction direction,
                                                       std::optional<ByteRange> byteRange,
                                                       const std::vector<std::int64_t>& packetIds, double timestamp) {
    return MIMEParser::leafMessages(MIMEParser::parse(mimeMessage), mimeMessage, direction, byteRange, packetIds,
                                    timestamp);
}

}  // namespace qor
