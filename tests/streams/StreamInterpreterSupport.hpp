#pragma once
// The stream interpreters of the standard plug-in as the product loads them, and TCP streams
// built segment by segment for them.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QORModels/analysis/QORStreamInterpreterRegistry.hpp"
#include "QORModels/streams/StreamMessage.hpp"
#include "QORModels/streams/TCPStream.hpp"

namespace qor::test {

/// The interpreter type whose `streamDisplayName` is `name`, from the stream interpreter registry
/// after the shared plug-in controller has loaded the build tree's plug-in folder. Throws when
/// the standard plug-in is not built or offers no such interpreter. Main thread (the tests').
std::shared_ptr<const QORStreamInterpreting> streamInterpreter(std::string_view name);

/// One segment's payload: who sent it, when, in which packet.
struct Sent {
    TCPSegment::Direction direction;
    std::string bytes;
    double time = 0;
    std::int64_t packetId = 0;
};

/// A stream between 10.0.0.1:50000 (client) and 10.0.0.2:`serverPort` whose segments carry
/// `sent` in order, each direction's bytes appended with one index span per segment.
TCPStream streamOf(const std::vector<Sent>& sent, std::uint16_t serverPort = 80);

/// Client and server bytes in one segment each (packets 1 and 2, times 1 and 2).
TCPStream streamOf(std::string client, std::string server, std::uint16_t serverPort = 80);

}  // namespace qor::test
