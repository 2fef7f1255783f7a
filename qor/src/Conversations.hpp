#pragma once
// The one TCP conversation or UDP flow a command names, by its number or by a packet it holds.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "Command.hpp"
#include "QORModels/streams/PacketSnapshot.hpp"
#include "QORModels/streams/TCPStream.hpp"
#include "QORModels/streams/UDPFlowReassembler.hpp"

namespace qor::cli {

/// Which conversation was asked for: its number (from 0, in order of first packet, as qor
/// streams numbers them) or a packet it holds (1-based); one of the two is given.
struct ConversationChoice {
    std::optional<std::int64_t> index;
    std::optional<std::int64_t> packet;
};

/// A conversation found, with its number.
template <class Conversation>
struct NumberedConversation {
    Conversation conversation;
    std::int64_t number = 0;
};

/// The TCP conversation asked for; only that one is built. Nothing when there is none.
std::optional<NumberedConversation<TCPStream>> chooseTCPStream(const std::vector<PacketSnapshot>& snapshots,
                                                               const ConversationChoice& choice);
/// The UDP flow asked for; only that one is built. Nothing when there is none.
std::optional<NumberedConversation<UDPFlow>> chooseUDPFlow(const std::vector<PacketSnapshot>& snapshots, const ConversationChoice& choice);

/// The failure (status 2) of a choice that names no conversation: "packet P belongs to no
/// KIND" or "no KIND N", KIND being for example "TCP conversation" or "UDP flow".
CommandFailure noConversation(const ConversationChoice& choice, std::string_view kind);

}  // namespace qor::cli
