#pragma once
// HTTP/1.x conversations read as requests and responses (RFC 9112).

#include <string>

#include "QORModels/streams/StreamMessage.hpp"
#include "QORModels/streams/TCPStream.hpp"

namespace qor::standard::streams {

/// Reads a TCP stream as HTTP/1.x messages: each direction's bytes are cut into messages (start
/// line, header fields as detail rows, body by Content-Length, the chunked coding or the end of
/// the connection), bodies are decoded (chunked, then gzip or deflate) and multipart bodies are
/// followed by one `data` message per MIME leaf. Responses are paired with requests in order
/// (pipelining); interim (1xx) responses other than 101 are shown but take no request. After a
/// 101 response, or a 2xx response to CONNECT, the rest of both directions is no longer HTTP and
/// is shown as `data`.
///
/// Pairings: `matched` for a request with its response; `awaitingReply` for a request that has
/// none when the capture ends; `unmatched` for a response without request, whose pairing names
/// the response itself as both request and reply index (there is no request to name).
///
/// Bounds: a message head may be 64 KiB, 100 header fields are shown per message, 10,000
/// messages are read per direction, and a body grows to at most 64 MiB when chunks are joined or
/// it is decompressed. A message past a bound says so in a "Warning" detail row.
struct HTTPStreamInterpreter {
    static std::string streamDisplayName() { return "HTTP"; }
    /// True when the client's bytes start with a request line (a known method, a target and
    /// HTTP/1.x) or the server's start with a status line (HTTP/1.x and three digits).
    static bool canInterpret(const TCPStream& stream);
    static StreamInterpretation interpret(const TCPStream& stream);
};

}  // namespace qor::standard::streams
