// Walking TLS records and handshake messages to the ClientHellos and their extensions.

#include "QORModels/tls/TLSHandshakeScanner.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "QORCommonTools/TextHelpers.hpp"

namespace qor {
namespace {

constexpr std::uint8_t kHandshakeRecord = 22;
constexpr std::uint8_t kClientHello = 1;
constexpr std::size_t kRecordHeader = 5;
constexpr std::size_t kHandshakeHeader = 4;
constexpr std::size_t kRandomOffset = 2;
constexpr std::size_t kRandomLength = 32;
constexpr std::size_t kMinimumClientHello = kRandomOffset + kRandomLength;

constexpr std::uint16_t kServerNameExtension = 0;
constexpr std::uint16_t kALPNExtension = 16;
constexpr std::uint16_t kSupportedVersionsExtension = 43;

/// Big-endian reads that give nothing for bytes that are not all there.
std::optional<std::uint16_t> u16(const Data& d, std::size_t at) {
    auto raw = d.loadUnaligned<std::array<std::uint8_t, 2>>(at);
    if (!raw) return std::nullopt;
    return static_cast<std::uint16_t>((*raw)[0] << 8 | (*raw)[1]);
}

std::optional<std::uint32_t> u24(const Data& d, std::size_t at) {
    auto raw = d.loadUnaligned<std::array<std::uint8_t, 3>>(at);
    if (!raw) return std::nullopt;
    return static_cast<std::uint32_t>((*raw)[0]) << 16 | static_cast<std::uint32_t>((*raw)[1]) << 8 | (*raw)[2];
}

std::optional<std::string> utf8Text(const Data& bytes) {
    if (!isValidUTF8(bytes.stringView())) return std::nullopt;
    return bytes.toString();
}

/// The host name of the first entry of a server_name extension's list, when it is one.
std::optional<std::string> serverName(const Data& ext) {
    if (ext.size() < 5 || ext[2] != 0) return std::nullopt;
    const auto length = u16(ext, 3);
    auto name = ext.checkedSlice(5, *length);
    if (!name) return std::nullopt;
    return utf8Text(*name);
}

std::vector<std::string> alpnProtocols(const Data& ext) {
    std::vector<std::string> names;
    std::size_t at = 2;  // past the list length, which is not trusted
    while (at < ext.size()) {
        const std::size_t length = ext[at];
        auto name = ext.checkedSlice(at + 1, length);
        if (!name) break;
        if (auto text = utf8Text(*name)) names.push_back(std::move(*text));
        at += 1 + length;
    }
    return names;
}

std::vector<std::uint16_t> supportedVersions(const Data& ext) {
    std::vector<std::uint16_t> versions;
    if (ext.empty()) return versions;
    const std::size_t end = std::min<std::size_t>(ext.size(), std::size_t{ext[0]} + 1);
    if (end < 3) return versions;
    for (std::size_t at = 1; at + 2 <= end; at += 2) versions.push_back(*u16(ext, at));
    return versions;
}

/// Fills the sighting's extension fields from an extensions block; a later extension of a type
/// replaces an earlier one.
void readExtensions(const Data& block, TLSHandshakeSighting& sighting, std::vector<std::uint16_t>& versions) {
    std::size_t at = 0;
    while (block.size() - at >= 4) {
        const std::uint16_t type = *u16(block, at);
        const std::uint16_t length = *u16(block, at + 2);
        auto ext = block.checkedSlice(at + 4, length);
        if (!ext) break;
        switch (type) {
            case kServerNameExtension: sighting.serverName = serverName(*ext); break;
            case kALPNExtension: sighting.alpnProtocols = alpnProtocols(*ext); break;
            case kSupportedVersionsExtension: versions = supportedVersions(*ext); break;
            default: break;
        }
        at += 4 + std::size_t{length};
    }
}

/// The extensions block of a ClientHello body, or nothing when its lengths do not fit.
std::optional<Data> extensionsBlock(const Data& body) {
    auto sessionIdLength = body.byteAt(34);
    if (!sessionIdLength) return std::nullopt;
    auto cipherSuitesLength = u16(body, 35 + std::size_t{*sessionIdLength});
    if (!cipherSuitesLength) return std::nullopt;
    const std::size_t c = std::size_t{*sessionIdLength} + *cipherSuitesLength + 37;
    auto compressionLength = body.byteAt(c);
    if (!compressionLength) return std::nullopt;
    auto extensionsLength = u16(body, c + *compressionLength + 1);
    if (!extensionsLength) return std::nullopt;
    return body.checkedSlice(c + *compressionLength + 3, *extensionsLength);
}

std::optional<TLSHandshakeSighting> clientHello(const Data& body) {
    const std::uint16_t legacyVersion = u16(body, 0).value_or(0);
    if (body.size() < kMinimumClientHello) return std::nullopt;
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
        std::size_t at = 0;
        while (fragment.size() - at >= kHandshakeHeader) {
            const std::uint8_t type = fragment[at];
            const std::uint32_t length = *u24(fragment, at + 1);
            auto body = fragment.checkedSlice(at + kHandshakeHeader, length);
            if (!body) break;
            if (type == kClientHello) report(*body);
            at += kHandshakeHeader + length;
        }
        const Data tail = fragment.slice(at);
        if (tail.empty()) return;
        if (tail.size() >= kHandshakeHeader && tail[0] != kClientHello)
            skip_ = kHandshakeHeader + *u24(tail, 1) - tail.size();
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
            const std::size_t n = std::min(kHandshakeHeader - pending_.size(), fragment.size());
            pending_.insert(pending_.end(), fragment.begin(), fragment.begin() + static_cast<std::ptrdiff_t>(n));
            fragment = fragment.slice(n);
            if (pending_.size() < kHandshakeHeader) return fragment;
            if (static_cast<std::uint8_t>(pending_[0]) != kClientHello) {
                skip_ = messageLength();
                pending_.clear();
                return finishPending(std::move(fragment));
            }
        }
        const std::size_t n = std::min(messageLength() + kHandshakeHeader - pending_.size(), fragment.size());
        pending_.insert(pending_.end(), fragment.begin(), fragment.begin() + static_cast<std::ptrdiff_t>(n));
        fragment = fragment.slice(n);
        if (pending_.size() == messageLength() + kHandshakeHeader) {
            report(Data(std::move(pending_)).slice(kHandshakeHeader));
            pending_.clear();
        }
        return fragment;
    }

    /// The body length in the header that `pending_` holds.
    std::size_t messageLength() const {
        return std::size_t{static_cast<std::uint8_t>(pending_[1])} << 16 | std::size_t{static_cast<std::uint8_t>(pending_[2])} << 8 |
               static_cast<std::uint8_t>(pending_[3]);
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
    std::size_t at = 0;
    while (data.size() - at >= kRecordHeader) {
        const std::uint8_t type = data[at];
        const std::uint16_t length = *u16(data, at + 3);
        auto fragment = data.checkedSlice(at + kRecordHeader, length);
        if (!fragment) break;
        if (type == kHandshakeRecord && length != 0) walker.feed(std::move(*fragment));
        at += kRecordHeader + length;
    }
    return found;
}

}  // namespace qor
