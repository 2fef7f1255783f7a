#include "streams/StreamMessageBuilding.hpp"

#include <algorithm>

#include "AnalyzerBase.hpp"

namespace qor::standard::streams {

const Data& directionData(const TCPStream& stream, Direction direction) {
    return direction == Direction::clientToServer ? stream.clientToServerData : stream.serverToClientData;
}

StreamMessage placedMessage(const TCPStream& stream, Direction direction, ByteRange range, StreamMessageKind kind,
                            std::string summary, std::vector<DetailRow> detail, std::optional<Data> body,
                            std::optional<StreamBodyHint> hint, std::optional<std::string> filename) {
    auto location = stream.locate(range, direction);
    return StreamMessage(direction, kind, std::move(summary), std::move(detail), std::move(body), std::move(hint), range,
                         std::move(location.packetIds), location.timestamp.value_or(stream.startTime),
                         std::move(filename), false);
}

StreamMessage rawDataMessage(const TCPStream& stream, Direction direction, ByteRange range, std::string why) {
    auto bytes = directionData(stream, direction)
                     .slice(static_cast<std::size_t>(range.lowerBound), static_cast<std::size_t>(range.count()));
    std::vector<DetailRow> detail;
    if (!why.empty()) detail.push_back({"Note", std::move(why)});
    return placedMessage(stream, direction, range, StreamMessageKind::data, std::to_string(range.count()) + " bytes",
                         std::move(detail), bytes, StreamBodyHint::binary());
}

std::string summaryText(std::string_view text) { return printableText(text); }

MergedMessages mergeByTime(std::vector<StreamMessage> client, std::vector<StreamMessage> server) {
    MergedMessages out;
    out.messages.reserve(client.size() + server.size());
    std::size_t c = 0, s = 0;
    while (c < client.size() || s < server.size()) {
        const bool takeClient = s == server.size() || (c < client.size() && client[c].timestamp <= server[s].timestamp);
        if (takeClient) {
            out.clientIndex.push_back(out.messages.size());
            out.messages.push_back(std::move(client[c++]));
        } else {
            out.serverIndex.push_back(out.messages.size());
            out.messages.push_back(std::move(server[s++]));
        }
    }
    return out;
}

std::optional<std::vector<Pairing>> pairInOrder(const MergedMessages& merged, const std::vector<Exchange>& requests,
                                                const std::vector<Exchange>& replies) {
    if (requests.empty() && replies.empty()) return std::nullopt;
    std::vector<Pairing> pairings;
    pairings.reserve(std::max(requests.size(), replies.size()));
    const std::size_t matched = std::min(requests.size(), replies.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto requestAt = static_cast<std::int64_t>(merged.clientIndex[requests[i].index]);
        if (i < matched)
            pairings.emplace_back(requestAt, static_cast<std::int64_t>(merged.serverIndex[replies[i].index]),
                                  requests[i].label + " → " + replies[i].label, PairingStatus::matched);
        else
            pairings.emplace_back(requestAt, std::nullopt, requests[i].label + " (no reply)", PairingStatus::awaitingReply);
    }
    for (std::size_t i = matched; i < replies.size(); ++i) {
        const auto replyAt = static_cast<std::int64_t>(merged.serverIndex[replies[i].index]);
        pairings.emplace_back(replyAt, replyAt, "(no request) → " + replies[i].label, PairingStatus::unmatched);
    }
    return pairings;
}

}  // namespace qor::standard::streams
