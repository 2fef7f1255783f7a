// Walking TLS records and handshake messages to the ClientHellos and their extensions.

#include "QORModels/tls/TLSHandshakeScanner.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "QORCommonTools/ByteReader.hpp"
#include "QORCommonTools/TextHelpers.hpp"

namespace qor {
namespace {

constexpr std::uint8_t kHandshakeRecord = 22;
constexpr std::uint8_t kClientHello = 1;
constexpr std::size_t kHandshakeHeader = 4;
constexpr std::size_t kRandomOffset = 2;
constexpr std::size_t kRandomLength = 32;
constexpr std::size_t kMinimumClientHello = kRandomOffset + kRandomLength;

constexpr std::uint16_t kServerNameExtension = 0;
constexpr std::uint16_t kALPNExtension = 16;
constexpr std::uint16_t kSupportedVersionsExtension = 43;

/// How a run of units (records, handshake messages, extensions) is laid out: a header of `size`
/// bytes starts with a big-endian type of `typeWidth` bytes and ends with a big-endian body
/// length of `lengthWidth` bytes; the body follows.
struct UnitLayout {
    std::size_t typeWidth, size, lengthWidth;
};
constexpr UnitLayout kRecord{1, 5, 2};
constexpr UnitLayout kHandshakeMessage{1, kHandshakeHeader, 3};
constexpr UnitLayout kExtension{2, 4, 2};

/// Calls `visit(type, body)` for each unit from the start of `bytes` while a whole header
/// remains; stops at the first unit whose body runs past the end. Gives the offset where the
/// walk stopped.
template <class Visit>
std::size_t walkUnits(const Data& bytes, UnitLayout layout, Visit&& visit) {
    ByteReader reader(bytes);
    while (auto header = reader.readSlice(layout.size)) {
        const std::size_t bodyStart = reader.offset();
        const auto type = *header->readUBE(layout.typeWidth);
        const auto length = *header->from(layout.size - layout.lengthWidth).readUBE(layout.lengthWidth);
        if (!reader.skip(length)) return bodyStart - layout.size;
        visit(type, bytes.slice(bodyStart, length));
    }
    return reader.offset();
}

/// The body length in a handshake message header (at least 4 bytes).
std::size_t handshakeBodyLength(std::span<const std::byte> header) { return *ByteReader(header.subspan(1)).readU24be(); }

std::optional<std::string> utf8Text(std::string_view bytes) {
    if (!isValidUTF8(bytes)) return std::nullopt;
    return std::string(bytes);
}

/// The host name of the first entry of a server_name extension's list, when it is one.
std::optional<std::string> serverName(const Data& ext) {
    ByteReader reader(ext);
    if (!reader.skip(2) || reader.readU8() != 0) return std::nullopt;
    const auto length = reader.readU16be();
    auto name = length ? reader.readString(*length) : std::nullopt;
    if (!name) return std::nullopt;
    return utf8Text(*name);
}

std::vector<std::string> alpnProtocols(const Data& ext) {
    std::vector<std::string> names;
    ByteReader reader(ext);
    if (!reader.skip(2)) return names;  // past the list length, which is not trusted
    while (auto length = reader.readU8()) {
        auto name = reader.readString(*length);
        if (!name) break;
        if (auto text = utf8Text(*name)) names.push_back(std::move(*text));
    }
    return names;
}

std::vector<std::uint16_t> supportedVersions(const Data& ext) {
    std::vector<std::uint16_t> versions;
    ByteReader reader(ext);
    const auto listLength = reader.readU8();
    if (!listLength) return versions;
    ByteReader list(reader.rest().first(std::min<std::size_t>(reader.remaining(), *listLength)));
    while (auto version = list.readU16be()) versions.push_back(*version);
    return versions;
}

/// Fills the sighting's extension fields from an extensions block; a later extension of a type
/// replaces an earlier one.
void readExtensions(const Data& block, TLSHandshakeSighting& sighting, std::vector<std::uint16_t>& versions) {
    walkUnits(block, kExtension, [&](std::uint64_t type, const Data& ext) {
        switch (type) {
            case kServerNameExtension: sighting.serverName = serverName(ext); break;
            case kALPNExtension: sighting.alpnProtocols = alpnProtocols(ext); break;
            case kSupportedVersionsExtension: versions = supportedVersions(ext); break;
            default: break;
        }
    });
}

/// The extensions block of a ClientHello body, or nothing when its lengths do not fit.
std::optional<Data> extensionsBlock(const Data& body) {
    ByteReader reader(body);
    if (!reader.skip(kMinimumClientHello)) return std::nullopt;
    const auto sessionIdLength = reader.readU8();
    if (!sessionIdLength || !reader.skip(*sessionIdLength)) return std::nullopt;
    const auto cipherSuitesLength = reader.readU16be();
    if (!cipherSuitesLength || !reader.skip(*cipherSuitesLength)) return std::nullopt;
    const auto compressionLength = reader.readU8();
    if (!compressionLength || !reader.skip(*compressionLength)) return std::nullopt;
    const auto extensionsLength = reader.readU16be();
    if (!extensionsLength) return std::nullopt;
    return body.checkedSlice(reader.offset(), *extensionsLength);
}

std::optional<TLSHandshakeSighting> clientHello(const Data& body) {
    if (body.size() < kMinimumClientHello) return std::nullopt;
    const std::uint16_t legacyVersion = *ByteReader(body).readU16be();
    TLSHandshakeSighting sighting;
    sighting.clientRandom = Data::copy(body.slice(kRandomOffset, kRandomLength).span());
    std::vector<std::uint16_t> versions;
    if (auto block = extensionsBlock(body)) readExtensions(*block, sighting, versions);
    sighting.offeredVersions = versions.empty() ? std::vector<std::uint16_t>{legacyVersion} : std::move(versions);
    return sighting;
}

/// Walks the handshake messages of a run of handshake fragments as if the fragments were joined
/// into one buffer, without joining them: a message that lies within one fragment is read in
/// place, and only a ClientHello that spans fragments is copied together (up to its length, and
/// never more bytes than arrive). Other messages that span fragments are skipped by count.
class HandshakeWalker {
public:
    explicit HandshakeWalker(std::vector<TLSHandshakeSighting>& found) : found_(found) {}

    void feed(Data fragment) {
        fragment = finishPending(std::move(fragment));
        const std::size_t end = walkUnits(fragment, kHandshakeMessage, [this](std::uint64_t type, const Data& body) {
            if (type == kClientHello) report(body);
        });
        const Data tail = fragment.slice(end);
        if (tail.empty()) return;
        if (tail.size() >= kHandshakeHeader && tail[0] != kClientHello)
            skip_ = kHandshakeHeader + handshakeBodyLength(tail.span()) - tail.size();
        else
            pending_.assign(tail.begin(), tail.end());
    }

private:
    /// Completes the message that an earlier fragment began with the first bytes of `fragment`;
    /// gives the bytes after it.
    Data finishPending(Data fragment) {
        if (skip_ != 0) {
            const std::size_t n = std::min(skip_, fragment.size());
            skip_ -= n;
            fragment = fragment.slice(n);
        }
        if (pending_.empty() || fragment.empty()) return fragment;
        if (pending_.size() < kHandshakeHeader) {
            fragment = append(std::move(fragment), kHandshakeHeader - pending_.size());
            if (pending_.size() < kHandshakeHeader) return fragment;
            if (static_cast<std::uint8_t>(pending_[0]) != kClientHello) {
                skip_ = handshakeBodyLength(pending_);
                pending_.clear();
                return finishPending(std::move(fragment));
            }
        }
        const std::size_t messageSize = kHandshakeHeader + handshakeBodyLength(pending_);
        fragment = append(std::move(fragment), messageSize - pending_.size());
        if (pending_.size() == messageSize) {
            report(Data(std::move(pending_)).slice(kHandshakeHeader));
            pending_.clear();
        }
        return fragment;
    }

    /// Moves up to `wanted` bytes from the front of `fragment` to `pending_`; gives the rest.
    Data append(Data fragment, std::size_t wanted) {
        const std::size_t n = std::min(wanted, fragment.size());
        pending_.insert(pending_.end(), fragment.begin(), fragment.begin() + static_cast<std::ptrdiff_t>(n));
        return fragment.slice(n);
    }

    void report(const Data& body) {
        if (auto sighting = clientHello(body)) found_.push_back(std::move(*sighting));
    }

    std::vector<TLSHandshakeSighting>& found_;
    std::vector<std::byte> pending_;  ///< an unfinished header, or an unfinished ClientHello
    std::size_t skip_ = 0;            ///< bytes still to pass of an unfinished other message
};

}  // namespace

std::size_t TLSHandshakeSightingHash::operator()(const TLSHandshakeSighting& s) const noexcept {
    std::size_t seed = std::hash<std::string_view>{}(s.clientRandom.stringView());
    auto mix = [&seed](std::size_t value) { seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); };
    mix(s.serverName ? std::hash<std::string>{}(*s.serverName) : 0x5a);
    for (const auto& name : s.alpnProtocols) mix(std::hash<std::string>{}(name));
    mix(s.alpnProtocols.size());
    for (auto version : s.offeredVersions) mix(version);
    mix(s.offeredVersions.size());
    return seed;
}

std::vector<TLSHandshakeSighting> TLSHandshakeScanner::sightings(const Data& data) {
    std::vector<TLSHandshakeSighting> found;
    HandshakeWalker walker(found);
    walkUnits(data, kRecord, [&walker](std::uint64_t type, Data fragment) {
        if (type == kHandshakeRecord && !fragment.empty()) walker.feed(std::move(fragment));
    });
    return found;
}

std::vector<Data> TLSClientRandomExtractor::clientRandoms(const Data& data) {
    std::vector<Data> randoms;
    for (auto& sighting : TLSHandshakeScanner::sightings(data)) randoms.push_back(std::move(sighting.clientRandom));
    return randoms;
}

}  // namespace qor
