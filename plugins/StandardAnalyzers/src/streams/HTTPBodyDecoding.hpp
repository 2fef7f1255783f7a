#pragma once
// HTTP/1.1 message bodies: the chunked transfer coding (RFC 9112 section 7.1) and the gzip and
// deflate content codings (RFC 9110 section 8.4.1), bounded for hostile input.

#include <cstddef>
#include <optional>
#include <string>

#include "QORPlatform/Data.hpp"

namespace qor::standard::streams {

/// Most bytes a body may grow to when it is put together from chunks or decompressed; what
/// would follow is cut and the message says so.
inline constexpr std::size_t kMaxDecodedBody = std::size_t{64} << 20;

/// A chunked body read from the start of `bytes`.
struct ChunkedBody {
    Data body;                           ///< the chunks' data joined (at most the cap)
    std::size_t consumed = 0;            ///< bytes of `bytes` the coding took, trailer included
    bool complete = false;               ///< the last chunk and the trailer section were there
    bool cut = false;                    ///< the joined data reached the cap
    std::optional<std::string> problem;  ///< why reading stopped early
};

/// Reads chunks until the last chunk and its trailer section. A chunk size that is not
/// hexadecimal or that does not fit in 64 bits ends the body there (the rest of `bytes` counts as
/// consumed, since the framing is lost); a chunk running past the end keeps what is there.
ChunkedBody dechunk(const Data& bytes, std::size_t maxBody = kMaxDecodedBody);

/// Inflates a gzip (`gzip` true; also zlib-wrapped) or deflate body (zlib-wrapped, else raw
/// deflate), at most `maxOut` bytes (`cut` says when more would follow). Gzip members that follow
/// one another are all read. Nothing when the bytes are not that coding.
std::optional<Data> inflateBody(const Data& bytes, bool gzip, std::size_t maxOut, bool& cut);

}  // namespace qor::standard::streams
