#pragma once
// SMTP conversations read as commands, replies and the mail they carry (RFC 5321).

#include <string>

#include "QORModels/streams/StreamMessage.hpp"
#include "QORModels/streams/TCPStream.hpp"

namespace qor::standard::streams {

/// Reads a TCP stream as SMTP: every client line is a command (a `request`; AUTH answers too),
/// every server reply (its lines "250-…" up to "250 …" joined) a `reply`. After a DATA command
/// that the server answers with 354 (or that no reply answers in the capture), the bytes up to
/// the line "." are the mail: one `request` message "message data" holding it dot-unstuffed,
/// followed by one `data` message per MIME leaf (`StreamMessage::dataMessages`), so attachments
/// come out decoded with their file names. After STARTTLS answered by 220 the rest of both
/// directions is TLS and shown as `data`.
///
/// Pairings: the server's greeting (a first reply sent before any command) answers nothing; the
/// other replies answer the commands and mail sections in order: `matched`, `awaitingReply` for
/// commands left without reply, `unmatched` for replies without command (their pairing names
/// the reply itself as request and reply index).
///
/// Bounds: 10,000 messages per direction (the rest is one `data` message), 100 detail rows per
/// reply or mail header.
struct SMTPStreamInterpreter {
    static std::string streamDisplayName() { return "SMTP"; }
    /// True when the server's bytes start with a 220 greeting or the client's with HELO or EHLO.
    static bool canInterpret(const TCPStream& stream);
    static StreamInterpretation interpret(const TCPStream& stream);
};

}  // namespace qor::standard::streams
