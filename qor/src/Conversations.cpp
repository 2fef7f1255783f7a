#include "Conversations.hpp"

#include <fmt/format.h>

#include <unordered_map>
#include <utility>

#include "CaptureSnapshots.hpp"
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

/// The conversation numbered `number` (in order of first record) in the capture at `file`,
/// built by `build` from its own records alone. `extract` gives the records of a window's
/// snapshots in snapshot order, so the records seen window after window come in the order one
/// extraction of the whole capture gives them; only the wanted conversation's records are kept.
template <class Conversation, class Hash, class Extract, class Build>
ChosenConversation<Conversation> numbered(const std::filesystem::path& file, std::int64_t number, Extract extract, Build build) {
    using Record = typename decltype(extract(std::declval<const std::vector<PacketSnapshot>&>()))::value_type;
    using Key = decltype(std::declval<const Record&>().key());
    std::unordered_map<Key, std::int64_t, Hash> numbers;  // until the wanted key is met
    std::optional<Key> wanted;
    std::vector<Record> mine;
    auto keep = [&](std::vector<Record>& records) {
        for (auto& record : records) {
            auto key = record.key();
            if (!wanted) {
                auto [it, added] = numbers.try_emplace(key, static_cast<std::int64_t>(numbers.size()));
                if (!added || it->second != number) continue;
                wanted = std::move(key);
                numbers = {};
            } else if (key != *wanted) {
                continue;
            }
            mine.push_back(std::move(record));
        }
    };
    ChosenConversation<Conversation> result;
    result.facts = extractFromCapture(file, extract, keep);
    if (!wanted) return result;
    if (std::optional<Conversation> built = build(*wanted, std::move(mine)))
        result.chosen = NumberedConversation<Conversation>{std::move(*built), number};
    return result;
}

}  // namespace

ChosenConversation<TCPStream> chooseTCPStream(const std::filesystem::path& file, const ConversationChoice& choice) {
    if (choice.packet) {
        CaptureSnapshots capture = snapshotCapture(file);
        auto found = TCPStreamReassembler::reassembleOffMain(capture.snapshots, *choice.packet);
        return {std::move(capture.facts), numberedIn(found.availableStreams, std::move(found.stream))};
    }
    return numbered<TCPStream, TCPStreamKeyHash>(
        file, *choice.index, [](const auto& snapshots) { return TCPStreamReassembler::extractSegments(snapshots); },
        &TCPStreamReassembler::buildStream);
}

ChosenConversation<UDPFlow> chooseUDPFlow(const std::filesystem::path& file, const ConversationChoice& choice) {
    if (choice.packet) {
        CaptureSnapshots capture = snapshotCapture(file);
        auto found = UDPFlowReassembler::reassembleOffMain(capture.snapshots, *choice.packet);
        return {std::move(capture.facts), numberedIn(found.availableFlows, std::move(found.flow))};
    }
    return numbered<UDPFlow, UDPFlowKeyHash>(
        file, *choice.index, [](const auto& snapshots) { return UDPFlowReassembler::extractDatagrams(snapshots); },
        &UDPFlowReassembler::buildFlow);
}

CommandFailure noConversation(const ConversationChoice& choice, std::string_view kind) {
    return CommandFailure(2, choice.packet ? fmt::format("packet {} belongs to no {}", *choice.packet, kind)
                                           : fmt::format("no {} {}", kind, *choice.index));
}

}  // namespace qor::cli
