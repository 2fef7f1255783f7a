#include "QORModels/streams/TCPStream.hpp"

#include <algorithm>
#include <functional>

namespace qor {

std::string TCPSegment::TCPFlags::description() const {
    static constexpr std::pair<std::uint8_t, const char*> kOrder[] = {
        {syn, "SYN"}, {ack, "ACK"}, {fin, "FIN"}, {rst, "RST"}, {psh, "PSH"}, {urg, "URG"}, {ece, "ECE"}, {cwr, "CWR"}};
    std::string text;
    for (const auto& [flag, name] : kOrder) {
        if (!contains(flag)) continue;
        if (!text.empty()) text += ", ";
        text += name;
    }
    return text;
}

TCPStreamKey TCPStreamKey::between(Endpoint one, Endpoint other) {
    if (other < one) std::swap(one, other);
    return TCPStreamKey{std::move(one), std::move(other)};
}

std::string TCPStreamKey::shortLabel() const {
    return ":" + std::to_string(endpointA.port) + " \u2194 :" + std::to_string(endpointB.port);
}

TCPStreamKey::View TCPStreamKey::View::between(std::string_view ip, std::uint16_t port, std::string_view otherIP,
                                               std::uint16_t otherPort) noexcept {
    // The order of `Endpoint`: the address texts, then the ports.
    const int order = ip.compare(otherIP);
    if (order > 0 || (order == 0 && otherPort < port)) return View{otherIP, otherPort, ip, port};
    return View{ip, port, otherIP, otherPort};
}

namespace {
std::size_t hashEndpoints(std::string_view ipA, std::uint16_t portA, std::string_view ipB, std::uint16_t portB) noexcept {
    std::size_t h = std::hash<std::string_view>{}(ipA);
    h = h * 31 + portA;
    h = h * 1000003 ^ std::hash<std::string_view>{}(ipB);
    return h * 31 + portB;
}
}  // namespace

std::size_t TCPStreamKeyHash::operator()(const TCPStreamKey& key) const noexcept {
    return hashEndpoints(key.endpointA.ip, key.endpointA.port, key.endpointB.ip, key.endpointB.port);
}

std::size_t TCPStreamKeyHash::operator()(const TCPStreamKey::View& key) const noexcept {
    return hashEndpoints(key.ipA, key.portA, key.ipB, key.portB);
}

bool operator==(const TCPStreamKey& key, const TCPStreamKey::View& view) noexcept { return view.sees(key.endpointA, key.endpointB); }

std::string endpointText(const TCPStreamKey::Endpoint& endpoint) {
    return endpoint.ip + ":" + std::to_string(endpoint.port);
}

std::string TCPStream::title() const {
    return endpointText(clientEndpoint) + " \u2192 " + endpointText(serverEndpoint);
}

std::string TCPStreamSummary::title() const {
    return endpointText(clientEndpoint) + " \u2192 " + endpointText(serverEndpoint);
}

TCPStream::Location TCPStream::locate(ByteRange byteRange, TCPSegment::Direction direction) const {
    const auto& index = direction == TCPSegment::Direction::clientToServer ? clientByteIndex : serverByteIndex;
    Location location;
    if (byteRange.isEmpty()) return location;
    // The spans are ascending and contiguous: start at the first one that ends after the range starts.
    auto it = std::upper_bound(index.spans.begin(), index.spans.end(), byteRange.lowerBound,
                               [](std::int64_t offset, const ByteSpan& span) { return offset < span.range.upperBound; });
    for (; it != index.spans.end() && it->range.lowerBound < byteRange.upperBound; ++it) {
        if (it->range.isEmpty()) continue;
        for (auto id : it->packetIds)
            if (std::find(location.packetIds.begin(), location.packetIds.end(), id) == location.packetIds.end())
                location.packetIds.push_back(id);
        location.timestamp = location.timestamp ? std::min(*location.timestamp, it->timestamp) : it->timestamp;
    }
    return location;
}

}  // namespace qor
