// Walking TLS records and handshake messages, and reading the hellos of a session.

#include "tls/TLSRecordLayer.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace qor::standard::tls {
namespace {

/// The random of a ServerHello that is a HelloRetryRequest: SHA-256 of "HelloRetryRequest".
constexpr std::array<std::uint8_t, 32> helloRetryRequestRandom = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

constexpr std::uint16_t supportedVersionsExtension = 43;
constexpr std::size_t randomLength = 32;

struct ServerHello {
    Data random;
    std::uint16_t cipherSuite = 0;
    std::uint16_t version = 0;
};

/// The random of a ClientHello body (after its 2-byte legacy version).
std::optional<Data> clientRandomOf(const Data& body) { return body.checkedSlice(2, randomLength); }

std::optional<ServerHello> parseServerHello(const Data& body) {
    auto legacy = readU16(body, 0);
    auto random = body.checkedSlice(2, randomLength);
    auto sessionIdLength = body.byteAt(34);
    if (!legacy || !random || !sessionIdLength) return std::nullopt;
    std::size_t at = 35 + *sessionIdLength;
    auto suite = readU16(body, at);
    if (!suite || !body.byteAt(at + 2)) return std::nullopt;  // the compression method
    ServerHello hello{*random, *suite, *legacy};
    at += 3;
    auto extensionsLength = readU16(body, at);
    if (!extensionsLength) return hello;  // no extensions
    at += 2;
    const std::size_t end = std::min(body.size(), at + *extensionsLength);
    while (at + 4 <= end) {
        const auto type = *readU16(body, at), length = *readU16(body, at + 2);
        if (at + 4 + length > end) break;
        if (type == supportedVersionsExtension && length == 2) hello.version = *readU16(body, at + 4);
        at += 4 + length;
    }
    return hello;
}

bool isHelloRetryRequest(const Data& random) {
    return random.size() == randomLength &&
           std::memcmp(random.data(), helloRetryRequestRandom.data(), randomLength) == 0;
}

}  // namespace

std::optional<std::uint16_t> readU16(const Data& data, std::size_t at) {
    auto bytes = data.checkedSlice(at, 2);
    if (!bytes) return std::nullopt;
    return static_cast<std::uint16_t>((*bytes)[0] << 8 | (*bytes)[1]);
}

std::optional<std::uint32_t> readU24(const Data& data, std::size_t at) {
    auto bytes = data.checkedSlice(at, 3);
    if (!bytes) return std::nullopt;
    return static_cast<std::uint32_t>((*bytes)[0]) << 16 | static_cast<std::uint32_t>((*bytes)[1]) << 8 | (*bytes)[2];
}

std::vector<TLSRecord> tlsRecords(const Data& data) {
    std::vector<TLSRecord> records;
    std::size_t at = 0;
    while (data.size() - at >= 5) {
        const auto length = *readU16(data, at + 3);
        auto fragment = data.checkedSlice(at + 5, length);
        if (!fragment) break;
        records.push_back({*data.byteAt(at), *readU16(data, at + 1), data.slice(at, 5), *fragment,
                           {static_cast<std::int64_t>(at), static_cast<std::int64_t>(at + 5 + length)}});
        at += 5 + length;
    }
    return records;
}

void TLSHandshakeReassembly::append(const Data& fragment) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
    pending_.insert(pending_.end(), fragment.begin(), fragment.end());
}

std::optional<TLSHandshakeMessage> TLSHandshakeReassembly::next() {
    const std::size_t available = pending_.size() - consumed_;
    if (available < 4) return std::nullopt;
    const auto* head = pending_.data() + consumed_;
    const std::size_t length = std::to_integer<std::size_t>(head[1]) << 16 |
                               std::to_integer<std::size_t>(head[2]) << 8 | std::to_integer<std::size_t>(head[3]);
    if (available - 4 < length) return std::nullopt;
    TLSHandshakeMessage message{std::to_integer<std::uint8_t>(head[0]), Data::copy({head + 4, length})};
    consumed_ += 4 + length;
    return message;
}

std::optional<TLSHelloSummary> readHellos(const TCPStream& stream) {
    std::optional<Data> clientRandom;
    {
        TLSHandshakeReassembly reassembly;
        for (const auto& record : tlsRecords(stream.clientToServerData)) {
            if (record.type == static_cast<std::uint8_t>(TLSContentType::applicationData) || clientRandom) break;
            if (record.type != static_cast<std::uint8_t>(TLSContentType::handshake)) continue;
            reassembly.append(record.fragment);
            while (auto message = reassembly.next()) {
                if (message->type != handshakeType::clientHello) continue;
                clientRandom = clientRandomOf(message->body);
                break;
            }
        }
    }
    if (!clientRandom) return std::nullopt;

    std::optional<ServerHello> serverHello;
    bool retried = false;
    TLSHandshakeReassembly reassembly;
    for (const auto& record : tlsRecords(stream.serverToClientData)) {
        if (serverHello || record.type == static_cast<std::uint8_t>(TLSContentType::applicationData)) break;
        if (record.type == static_cast<std::uint8_t>(TLSContentType::changeCipherSpec)) {
            if (!retried) break;
            continue;
        }
        if (record.type != static_cast<std::uint8_t>(TLSContentType::handshake)) continue;
        reassembly.append(record.fragment);
        while (auto message = reassembly.next()) {
            if (message->type != handshakeType::serverHello) continue;
            auto hello = parseServerHello(message->body);
            if (!hello) return std::nullopt;
            if (isHelloRetryRequest(hello->random)) {
                retried = true;
                continue;
            }
            serverHello = std::move(hello);
            break;
        }
    }
    if (!serverHello) return std::nullopt;
    return TLSHelloSummary{*clientRandom, serverHello->random, serverHello->cipherSuite, serverHello->version};
}

}  // namespace qor::standard::tls
