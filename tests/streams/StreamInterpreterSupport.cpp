#include "StreamInterpreterSupport.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "QORModels/analysis/QORPlugInsController.hpp"

namespace qor::test {

std::shared_ptr<const QORStreamInterpreting> streamInterpreter(std::string_view name) {
    static const bool loaded = [] {
        if (const char* dir = std::getenv("QOR_BUILTIN_PLUGINS_DIR"); !dir || !*dir)
            setenv("QOR_BUILTIN_PLUGINS_DIR", QOR_BUILD_PLUGINS_DIR, 1);
        auto bundle = std::filesystem::path(std::getenv("QOR_BUILTIN_PLUGINS_DIR")) / "StandardAnalyzers.qorplugin";
        if (!std::filesystem::exists(bundle / "Info.plist"))
            throw std::runtime_error("the standard analyzer plug-in is not built: " + bundle.string() + " is missing");
        QORPlugInsController::sharedManager()->activateAndPublish();
        return true;
    }();
    (void)loaded;
    for (const auto& box : QORStreamInterpreterRegistry::shared().snapshot())
        if (box.interpreterType && box.interpreterType->streamDisplayName() == name) return box.interpreterType;
    throw std::runtime_error("no stream interpreter " + std::string(name));
}

TCPStream streamOf(const std::vector<Sent>& sent, std::uint16_t serverPort) {
    TCPStream stream;
    stream.clientEndpoint = {"10.0.0.1", 50000};
    stream.serverEndpoint = {"10.0.0.2", serverPort};
    stream.key = TCPStreamKey::between(stream.clientEndpoint, stream.serverEndpoint);
    std::string client, server;
    for (const auto& s : sent) {
        const bool fromClient = s.direction == TCPSegment::Direction::clientToServer;
        auto& bytes = fromClient ? client : server;
        auto& index = fromClient ? stream.clientByteIndex : stream.serverByteIndex;
        const auto before = static_cast<std::int64_t>(bytes.size());
        bytes += s.bytes;
        index.spans.push_back({{before, static_cast<std::int64_t>(bytes.size())}, {s.packetId}, s.time});
        TCPSegment segment;
        segment.id = s.packetId;
        segment.direction = s.direction;
        segment.payload = Data::fromString(s.bytes);
        segment.timestamp = s.time;
        stream.segments.push_back(segment);
    }
    stream.clientToServerData = Data::fromString(client);
    stream.serverToClientData = Data::fromString(server);
    if (!sent.empty()) {
        stream.startTime = sent.front().time;
        stream.endTime = sent.back().time;
    }
    return stream;
}

TCPStream streamOf(std::string client, std::string server, std::uint16_t serverPort) {
    std::vector<Sent> sent;
    if (!client.empty()) sent.push_back({TCPSegment::Direction::clientToServer, std::move(client), 1, 1});
    if (!server.empty()) sent.push_back({TCPSegment::Direction::serverToClient, std::move(server), 2, 2});
    return streamOf(sent, serverPort);
}

}  // namespace qor::test
