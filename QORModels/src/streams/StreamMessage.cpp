#include "QORModels/streams/StreamMessage.hpp"

namespace qor {

const char* rawValue(StreamMessageKind kind) {
    switch (kind) {
        case StreamMessageKind::request: return "request";
        case StreamMessageKind::reply: return "reply";
        case StreamMessageKind::push: return "push";
        case StreamMessageKind::handshake: return "handshake";
        case StreamMessageKind::data: return "data";
    }
    return "data";
}

const char* rawValue(PairingStatus status) {
    switch (status) {
        case PairingStatus::awaitingReply: return "awaitingReply";
        case PairingStatus::matched: return "matched";
        case PairingStatus::unmatched: return "unmatched";
    }
    return "unmatched";
}

}  // namespace qor
