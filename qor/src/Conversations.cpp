#include "Conversations.hpp"

#include <fmt/format.h>

#include <unordered_map>

#include "QORModels/streams/TCPStreamReassembler.hpp"

namespace qor::cli {
namespace {

/// The conversation found by a packet, numbered by where its key stands in the list of
/// available conversations.
template <class Conversation, class List>
std::optional<NumberedConversation<Conversation>> numberedIn(const List& available, std::optional<Conversation>&& found) {
    if (!found) return std::nullopt;
    std::int64_t number = -1;
    for (std::size_t i = 0; i < available.size() && number < 0; ++i)
        if (available[i].key == found->key) number = static_cast<std::int64_t>(i);
    return NumberedConversation<Conversation>{std::move(*found), number};
}

/// The conversation numbered `number` (in order of first record) among `records`, built by
/// `build` from its own records alone.
template <class Conversation, class Hash, class Record, class Build>
std::optional<NumberedConversation<Conversation>> numbered(std::vector<Record> records, std::int64_t number, Build build) {
    using Key = decltype(records.front().key());
    std::unordered_map<Key, std::int64_t, Hash> numbers;
    std::optional<Key> wanted;
    for (const auto& record : records) {
        auto key = record.key();
        auto [it, added] = numbers.try_emplace(key, static_cast<std::int64_t>(numbers.size()));
        if (added && it->second == number) {
            wanted = std::move(key);
            break;
        }
    }
    if (!wanted) return std::nullopt;
    std::vector<Record> mine;
    for (auto& record : records)
        if (record.key() == *wanted) mine.push_back(std::move(record));
    std::optional<Conversation> built = build(*wanted, std::move(mine));
    if (!built) return std::nullopt;
    return NumberedConversation<Conversation>{std::move(*built), number};
}

}  // namespace

std::optional<NumberedConversation<TCPStream>> chooseTCPStream(const std::vector<PacketSnapshot>& snapshots,
                                                               const ConversationChoice& choice) {
    if (choice.packet) {
        auto found = TCPStreamReassembler::reassembleOffMain(snapshots, *choice.packet);
        return numberedIn(found.availableStreams, std::move(found.stream));
    }
    return numbered<TCPStream, TCPStreamKeyHash>(TCPStreamReassembler::extractSegments(snapshots), *choice.index,
                                                 &TCPStreamReassembler::buildStream);
}

std::optional<NumberedConversation<UDPFlow>> chooseUDPFlow(const std::vector<PacketSnapshot>& snapshots, const ConversationChoice& choice) {
    if (choice.packet) {
        auto found = UDPFlowReassembler::reassembleOffMain(snapshots, *choice.packet);
        return numberedIn(found.availableFlows, std::move(found.flow));
    }
    return numbered<UDPFlow, UDPFlowKeyHash>(UDPFlowReassembler::extractDatagrams(snapshots), *choice.index,
                                             &UDPFlowReassembler::buildFlow);
}

CommandFailure noConversation(const ConversationChoice& choice, std::string_view kind) {
    return CommandFailure(2, choice.packet ? fmt::format("packet {} belongs to no {}", *choice.packet, kind)
                                           : fmt::format("no {} {}", kind, *choice.index));
}

}  // namespace qor::cli
