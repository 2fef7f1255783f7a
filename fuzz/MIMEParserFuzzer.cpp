// Fuzzes the MIME parser and the mail transport helpers: leaves with tight and default limits,
// data messages, dot-unstuffing and line reading.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "QORModels/streams/MIMEParser.hpp"
#include "QORModels/streams/MailTransport.hpp"
#include "QORModels/streams/StreamMessage.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qor;
    Data bytes = Data::copy({reinterpret_cast<const std::byte*>(data), size});
    MIMELimits tight;
    tight.maxDepth = 3;
    tight.maxLeaves = 8;
    tight.maxDecodedBytes = 64;
    auto limited = MIMEParser::parse(bytes, tight);
    if (limited.parts.size() > tight.maxLeaves) std::abort();
    std::size_t decoded = 0;
    for (const auto& part : limited.parts) {
        (void)part.charset();
        (void)part.streamBodyHint();
        if (!part.body.empty() && !part.body.sharesStorageWith(bytes)) decoded += part.body.size();
    }
    if (decoded > tight.maxDecodedBytes) std::abort();
    auto messages = StreamMessage::dataMessages(bytes, TCPSegment::Direction::clientToServer, ByteRange{0, 1}, {1}, 0);
    if (messages.empty()) std::abort();
    auto unstuffed = MailTransport::dotUnstuff(bytes);
    if (unstuffed.size() > bytes.size()) std::abort();
    for (std::size_t at = 0; at < bytes.size();) {
        auto line = MailTransport::line(bytes, at);
        if (!line) break;
        if (line->length == 0) std::abort();
        at += line->length;
    }
    return 0;
}
