#pragma once
// Fuzz input turned into a TCP stream for the stream interpreters, and the checks every
// interpretation must pass.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "QORModels/analysis/QORStreamInterpreterRegistry.hpp"
#include "QORModels/streams/StreamMessage.hpp"
#include "QORModels/streams/TCPStream.hpp"
#include "support/StandardPlugIn.hpp"

namespace qor::fuzz {

/// Input layout: byte 0 is the split point's share (the client gets `size * b0 / 255` of the
/// rest), byte 1 the segment length (1 to 256); the client's bytes, then the server's, each cut
/// into segments of that length with alternating directions in time.
inline TCPStream streamFromBytes(const std::uint8_t* data, std::size_t size) {
    TCPStream stream;
    stream.clientEndpoint = {"10.0.0.1", 40000};
    stream.serverEndpoint = {"10.0.0.2", 80};
    stream.key = TCPStreamKey::between(stream.clientEndpoint, stream.serverEndpoint);
    if (size < 2) return stream;
    const std::size_t rest = size - 2, clientSize = rest * data[0] / 255, segment = std::size_t{data[1]} + 1;
    Data all = Data::copy({reinterpret_cast<const std::byte*>(data + 2), rest});
    stream.clientToServerData = all.slice(0, clientSize);
    stream.serverToClientData = all.slice(clientSize);
    std::int64_t packet = 1;
    auto index = [&](const Data& bytes, ByteToSegmentIndex& out, double offset) {
        for (std::size_t at = 0; at < bytes.size(); at += segment, ++packet) {
            auto end = std::min(bytes.size(), at + segment);
            out.spans.push_back({{static_cast<std::int64_t>(at), static_cast<std::int64_t>(end)},
                                 {packet},
                                 static_cast<double>(at / segment) + offset});
        }
    };
    index(stream.clientToServerData, stream.clientByteIndex, 0.0);
    index(stream.serverToClientData, stream.serverByteIndex, 0.5);
    stream.endTime = static_cast<double>(rest / segment + 1);
    return stream;
}

/// The registered interpreter named `name`; stops the target when the plug-in has none.
inline std::shared_ptr<const QORStreamInterpreting> interpreterNamed(std::string_view name) {
    activateStandardPlugIn();
    for (const auto& box : QORStreamInterpreterRegistry::shared().snapshot())
        if (box.interpreterType && box.interpreterType->streamDisplayName() == name) return box.interpreterType;
    std::abort();
}

/// Every message range lies in its direction's bytes and every pairing names messages that exist.
inline void checkInterpretation(const TCPStream& stream, const StreamInterpretation& result) {
    const auto count = static_cast<std::int64_t>(result.messages.size());
    for (const auto& m : result.messages) {
        const auto size = static_cast<std::int64_t>(m.direction == TCPSegment::Direction::clientToServer
                                                        ? stream.clientToServerData.size()
                                                        : stream.serverToClientData.size());
        if (m.byteRange && (m.byteRange->lowerBound < 0 || m.byteRange->upperBound > size ||
                            m.byteRange->lowerBound > m.byteRange->upperBound))
            std::abort();
    }
    if (!result.pairings) return;
    for (const auto& p : *result.pairings) {
        if (p.requestIndex < 0 || p.requestIndex >= count) std::abort();
        if (p.replyIndex && (*p.replyIndex < 0 || *p.replyIndex >= count)) std::abort();
    }
}

/// One fuzz input through the interpreter named `name` (the same name on every call of a target):
/// recognition, then the whole interpretation, checked.
inline int fuzzInterpreter(std::string_view name, const std::uint8_t* data, std::size_t size) {
    static const auto interpreter = interpreterNamed(name);
    auto stream = streamFromBytes(data, size);
    volatile bool recognised = interpreter->canInterpret(stream);
    (void)recognised;
    checkInterpretation(stream, interpreter->interpret(stream));
    return 0;
}

}  // namespace qor::fuzz
