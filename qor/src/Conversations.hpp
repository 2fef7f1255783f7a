#pragma once
// The one TCP conversation or UDP flow a command names, by its number or by a packet it holds.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "CaptureLoading.hpp"
#include "Command.hpp"
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

/// A conversation asked for in a capture file, with what reading the file learnt.
template <class Conversation>
struct ChosenConversation {
    CaptureFacts facts;
    std::optional<NumberedConversation<Conversation>> chosen;  ///< nothing when there is none
};

/// The TCP conversation asked for in `file`; only that one is built.
///
/// Chosen by number, it is found in one streamed pass: each window of packets is snapshotted
/// and its segments extracted, conversations are numbered as their first segment goes by, and
/// only the segments of the one asked for are kept, so memory follows the conversation's size,
/// not the capture's. Chosen by a packet, the conversation's earlier packets are only known to
/// belong to it once that packet has been read, so the whole capture is snapshotted first.
ChosenConversation<TCPStream> chooseTCPStream(const std::filesystem::path& file, const ConversationChoice& choice);
/// The UDP flow asked for in `file`, found as `chooseTCPStream` finds a conversation.
ChosenConversation<UDPFlow> chooseUDPFlow(const std::filesystem::path& file, const ConversationChoice& choice);

/// The failure (status 2) of a choice that names no conversation: "packet P belongs to no
/// KIND" or "no KIND N", KIND being for example "TCP conversation" or "UDP flow".
CommandFailure noConversation(const ConversationChoice& choice, std::string_view kind);

}  // namespace qor::cli
