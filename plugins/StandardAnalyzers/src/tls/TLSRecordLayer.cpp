// Walking TLS records and handshake messages, and reading the hellos of a session.

#include "tls/TLSRecordLayer.hpp"

#include <algorithm>
#include <array>

namespace qor::standard::tls {
namespace {

/// The random of a ServerHello that is a HelloRetryRequest: SHA-256 of "HelloRetryRequest".
constexpr std::array<std::uint8_t, 32> helloRetryRequestRandom = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

constexpr std::uint16_t supportedVersionsExtension = 43, earlyDataExtension = 42;
constexpr std::size_t recordHeaderLength = 5, randomLength = 32;

struct ServerHello {
    Data random;
    std::uint16_t cipherSuite = 0;
    std::uint16_t version = 0;
};

/// Calls `visit(type, value)` for each extension of the extensions block `r` stands at (its
/// 16-bit length first, clamped to the bytes there are), up to the first whose value runs past
/// the block; stops early when `visit` gives true. Nothing when the block's length is missing.
template <class Visit>
void forEachExtension(ByteReader& r, Visit visit) {
    auto extensionsLength = r.readU16be();
    if (!extensionsLength) return;
    ByteReader extensions(*r.readBytes(std::min<std::size_t>(*extensionsLength, r.remaining())));
    while (extensions.remaining() >= 4) {
        const auto type = *extensions.readU16be(), length = *extensions.readU16be();
        auto value = extensions.readSlice(length);
        if (!value || visit(type, *value)) return;
    }
}

std::optional<ServerHello> parseServerHello(std::span<const std::byte> body) {
    ByteReader r(body);
    auto legacy = r.readU16be();
    auto random = r.readBytes(randomLength);
    auto sessionIdLength = r.readU8();
    if (!legacy || !random || !sessionIdLength || !r.skip(*sessionIdLength)) return std::nullopt;
    auto suite = r.readU16be();
    if (!suite || !r.skip(1)) return std::nullopt;  // the compression method
    ServerHello hello{Data::copy(*random), *suite, *legacy};
    forEachExtension(r, [&](std::uint16_t type, ByteReader value) {
        if (type == supportedVersionsExtension && value.remaining() == 2) hello.version = *value.readU16be();
        return false;
    });
    return hello;
}

bool isHelloRetryRequest(const Data& random) {
    return std::ranges::equal(random.span(), helloRetryRequestRandom,
                              [](std::byte a, std::uint8_t b) { return std::to_integer<std::uint8_t>(a) == b; });
}

/// Whether a ClientHello body carries the early_data extension; false for a body cut short
/// before its extensions.
bool offersEarlyData(std::span<const std::byte> body) {
    ByteReader r(body);
    if (!r.skip(2 + randomLength)) return false;
    auto sessionIdLength = r.readU8();
    if (!sessionIdLength || !r.skip(*sessionIdLength)) return false;
    auto suitesLength = r.readU16be();
    if (!suitesLength || !r.skip(*suitesLength)) return false;
    auto compressionLength = r.readU8();
    if (!compressionLength || !r.skip(*compressionLength)) return false;
    bool offered = false;
    forEachExtension(r, [&](std::uint16_t type, const ByteReader&) { return offered = type == earlyDataExtension; });
    return offered;
}

struct ClientHello {
    Data random;
    bool earlyDataOffered = false;
};

/// The first ClientHello from `from` that holds a random, before any application data.
std::optional<ClientHello> firstClientHello(const Data& data, std::size_t from) {
    TLSHandshakeReassembly reassembly;
    TLSRecordReader records(data, from);
    while (auto record = records.next()) {
        if (record->type == contentType(TLSContentType::applicationData)) break;
        if (record->type != contentType(TLSContentType::handshake)) continue;
        reassembly.append(record->fragment);
        while (auto message = reassembly.next())
            if (message->type == handshakeType::clientHello)
                if (auto random = helloRandom(message->body)) return ClientHello{Data::copy(*random), offersEarlyData(message->body)};
    }
    return std::nullopt;
}

/// The ServerHello from `from` that answers the ClientHello, passing over a HelloRetryRequest.
std::optional<ServerHello> answeringServerHello(const Data& data, std::size_t from) {
    bool retried = false;
    TLSHandshakeReassembly reassembly;
    TLSRecordReader records(data, from);
    while (auto record = records.next()) {
        if (record->type == contentType(TLSContentType::applicationData)) break;
        if (record->type == contentType(TLSContentType::changeCipherSpec)) {
            if (!retried) break;
            continue;
        }
        if (record->type != contentType(TLSContentType::handshake)) continue;
        reassembly.append(record->fragment);
        while (auto message = reassembly.next()) {
            if (message->type != handshakeType::serverHello) continue;
            auto hello = parseServerHello(message->body);
            if (!hello || !isHelloRetryRequest(hello->random)) return hello;
            retried = true;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<TLSRecord> TLSRecordReader::next() {
    ByteReader r = reader_;
    auto header = r.readBytes(recordHeaderLength);
    if (!header) return std::nullopt;
    ByteReader fields(*header);
    const auto type = *fields.readU8();
    const auto version = *fields.readU16be(), length = *fields.readU16be();
    auto fragment = r.readBytes(length);
    if (!fragment) return std::nullopt;
    const auto start = static_cast<std::int64_t>(reader_.offset());
    reader_ = r;
    return TLSRecord{type, version, *header, *fragment, {start, static_cast<std::int64_t>(r.offset())}};
}

void TLSHandshakeReassembly::append(std::span<const std::byte> fragment) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
    pending_.insert(pending_.end(), fragment.begin(), fragment.end());
}

std::optional<TLSHandshakeMessage> TLSHandshakeReassembly::next() {
    ByteReader r(std::span<const std::byte>(pending_).subspan(consumed_));
    auto type = r.readU8();
    auto length = r.readU24be();
    if (!type || !length) return std::nullopt;
    auto body = r.readBytes(*length);
    if (!body) return std::nullopt;
    consumed_ += r.offset();
    return TLSHandshakeMessage{*type, *body};
}

std::optional<std::span<const std::byte>> helloRandom(std::span<const std::byte> body) {
    ByteReader r(body);
    if (!r.skip(2)) return std::nullopt;
    return r.readBytes(randomLength);
}

std::optional<std::uint16_t> serverHelloSuite(std::span<const std::byte> body) {
    auto hello = parseServerHello(body);
    if (!hello) return std::nullopt;
    return hello->cipherSuite;
}

bool startsHello(const TLSRecord& record, std::uint8_t helloType) {
    if (record.type != contentType(TLSContentType::handshake)) return false;
    ByteReader r(record.fragment);
    const auto type = r.readU8();
    const auto length = r.readU24be();
    const auto major = r.readU8(), minor = r.readU8();
    return type == helloType && length && *length >= 2 + randomLength && major == 3 && minor && *minor <= 4;
}

std::optional<TLSHelloSummary> readHellos(const TCPStream& stream, std::size_t clientFrom, std::size_t serverFrom) {
    auto clientHello = firstClientHello(stream.clientToServerData, clientFrom);
    if (!clientHello) return std::nullopt;
    auto serverHello = answeringServerHello(stream.serverToClientData, serverFrom);
    if (!serverHello) return std::nullopt;
    return TLSHelloSummary{std::move(clientHello->random), std::move(serverHello->random), serverHello->cipherSuite,
                           serverHello->version, clientHello->earlyDataOffered};
}

}  // namespace qor::standard::tls
