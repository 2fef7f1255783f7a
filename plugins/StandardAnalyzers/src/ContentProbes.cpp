// Recognising application protocols by the first bytes of a TCP or UDP payload.

#include "ContentProbes.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "AnalyzerBase.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "SnapshotCut.hpp"

namespace qor::standard {
namespace {

constexpr std::size_t kTLSRecordHeaderSize = 5;
constexpr std::uint8_t kTLSChangeCipherSpec = 20, kTLSHandshake = 22, kTLSApplicationData = 23;
constexpr std::uint16_t kSSL30 = 0x0300, kTLS12 = 0x0303;
/// 2^14 bytes of plaintext plus 2048 of expansion (RFC 5246 section 6.2.3).
constexpr std::uint16_t kTLSMaxRecordLength = 16384 + 2048;

/// The lines that count: a first line longer than this is not looked at for the end.
constexpr std::size_t kMaxFirstLine = 8192;

/// Ports below this are system ports: each belongs to its registered service.
constexpr std::uint16_t kFirstRegisteredPort = 1024;

constexpr std::size_t kDNSHeaderSize = 12;
constexpr std::uint16_t kDNSMaxAnswers = 100, kDNSMaxOtherRecords = 10;

constexpr std::array<std::string_view, 2> kHTTPVersions = {"HTTP/1.1", "HTTP/1.0"};

std::string_view asText(std::span<const std::byte> bytes) noexcept {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

/// The first line of a text payload without its end, or nothing when no CR or LF ends it within
/// `kMaxFirstLine` bytes. Two vectorised scans, one per end character (a scan for "either"
/// tests every byte against both one at a time).
std::optional<std::string_view> firstLine(std::string_view text) noexcept {
    const std::size_t window = std::min(text.size(), kMaxFirstLine);
    const char* lf = static_cast<const char*>(std::memchr(text.data(), '\n', window));
    const std::size_t beforeLF = lf ? static_cast<std::size_t>(lf - text.data()) : window;
    const char* cr = static_cast<const char*>(std::memchr(text.data(), '\r', beforeLF));
    if (!cr && !lf) return std::nullopt;
    return text.substr(0, cr ? static_cast<std::size_t>(cr - text.data()) : beforeLF);
}

/// The first word of a payload when a space ends it within `limit` bytes: what a request line's
/// method or a status line's version must be, checked before the line's end is looked for.
std::optional<std::string_view> firstWord(std::string_view text, std::size_t limit) noexcept {
    const std::size_t at = text.substr(0, std::min(text.size(), limit + 1)).find(' ');
    if (at == std::string_view::npos) return std::nullopt;
    return text.substr(0, at);
}

/// Whether the bytes at `offset` begin a record header, as far as the first four of them go
/// (those present): a content type, the version's bytes (SSL 3.0 to TLS 1.2: 3, then 0 to 3),
/// the high byte of a length under `kTLSMaxRecordLength`.
bool beginsTLSRecordHeader(std::span<const std::byte> payload, std::size_t offset) noexcept {
    ByteReader r(payload);
    if (!r.skip(offset)) return false;
    auto type = r.peekU8(0), major = r.peekU8(1), minor = r.peekU8(2), lengthHigh = r.peekU8(3);
    return (!type || (*type >= kTLSChangeCipherSpec && *type <= kTLSApplicationData)) && (!major || *major == (kSSL30 >> 8)) &&
           (!minor || *minor <= (kTLS12 & 0xFF)) && (!lengthHigh || *lengthHigh < (kTLSMaxRecordLength >> 8));
}

/// The type and length of a record header at `offset`, when it is one (see `looksLikeTLS`).
struct TLSRecordHeader {
    std::uint8_t type;
    std::uint16_t length;
};
std::optional<TLSRecordHeader> tlsRecordAt(std::span<const std::byte> payload, std::size_t offset) noexcept {
    ByteReader r(payload);
    if (!r.skip(offset)) return std::nullopt;
    auto type = r.peekU8(0);
    auto length = r.peekU16be(3);
    if (!length || *length == 0 || *length >= kTLSMaxRecordLength || !beginsTLSRecordHeader(payload, offset))
        return std::nullopt;
    return TLSRecordHeader{*type, *length};
}

bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

bool isVersion(std::string_view text) noexcept {
    return std::find(kHTTPVersions.begin(), kHTTPVersions.end(), text) != kHTTPVersions.end();
}

}  // namespace

bool looksLikeTLS(std::span<const std::byte> payload, std::size_t wireSize) noexcept {
    auto header = tlsRecordAt(payload, 0);
    if (!header) return false;
    if (header->type == kTLSHandshake || header->type == kTLSApplicationData) return true;
    // A change cipher spec or an alert must end the segment or be followed by another record.
    std::size_t next = kTLSRecordHeaderSize + header->length;
    if (next > payload.size()) return next == wireSize;  // into the bytes the capture left out
    if (next == payload.size() || tlsRecordAt(payload, next)) return true;
    // The capture may have cut the packet inside the next record's header.
    return payload.size() < wireSize && payload.size() - next < kTLSRecordHeaderSize && beginsTLSRecordHeader(payload, next);
}

bool looksLikeHTTP(std::span<const std::byte> payload) noexcept {
    const auto text = asText(payload);
    auto word = firstWord(text, kLongestHTTPMethod);  // longer than "HTTP/1.1"
    if (!word || (!isHTTPMethod(*word) && !isVersion(*word))) return false;
    auto line = firstLine(text);
    if (!line || line->size() <= word->size()) return false;
    const auto sp = word->size();
    auto head = *word;
    if (isVersion(head)) {
        // Status line: version SP 3DIGIT, then a space before the reason or the end of the line.
        auto rest = line->substr(sp + 1);
        return rest.size() >= 3 && isDigit(rest[0]) && isDigit(rest[1]) && isDigit(rest[2]) &&
               (rest.size() == 3 || rest[3] == ' ');
    }
    auto last = line->rfind(' ');
    return last > sp && isVersion(line->substr(last + 1));
}

bool looksLikeSMTP(std::span<const std::byte> payload) noexcept {
    auto text = asText(payload);
    if (!text.starts_with("220") && !text.starts_with("EHLO ") && !text.starts_with("HELO ")) return false;
    auto line = firstLine(text);
    if (!line || line->size() >= text.size() || text[line->size()] != '\r') return false;  // SMTP lines end in CRLF
    if (line->starts_with("220 ") || line->starts_with("220-")) return line->find("SMTP") != std::string_view::npos;
    if (!line->starts_with("EHLO ") && !line->starts_with("HELO ")) return false;
    auto domain = line->substr(5);
    return !domain.empty() && domain.find(' ') == std::string_view::npos;
}

bool looksLikeDNS(std::span<const std::byte> payload) noexcept {
    constexpr std::uint16_t kResponse = 0x8000, kOpcode = 0x7800;
    ByteReader r(payload);
    if (!r.canRead(kDNSHeaderSize + 1)) return false;
    auto flags = *r.peekU16be(2);
    auto questions = *r.peekU16be(4), answers = *r.peekU16be(6), authorities = *r.peekU16be(8),
         additionals = *r.peekU16be(10);
    if ((flags & kOpcode) != 0 || questions > 1) return false;
    if (authorities > kDNSMaxOtherRecords || additionals > kDNSMaxOtherRecords) return false;
    if (flags & kResponse) return answers <= kDNSMaxAnswers;
    return questions == 1 && answers == 0 && authorities == 0;
}

std::optional<std::string_view> protocolForContent(Transport transport, std::span<const std::byte> payload,
                                                   std::size_t wireSize) noexcept {
    if (transport == Transport::udp) return looksLikeDNS(payload) ? std::optional<std::string_view>("DNS") : std::nullopt;
    if (looksLikeTLS(payload, wireSize)) return "TLS";
    if (looksLikeHTTP(payload)) return "HTTP";
    if (looksLikeSMTP(payload)) return "SMTP";
    return std::nullopt;
}

InternedString carriedProtocol(Transport transport, std::uint16_t sourcePort, std::uint16_t destinationPort,
                              const Data& payload, const PacketRef& packet) {
    const InternedString named = protocolForPorts(transport == Transport::tcp, sourcePort, destinationPort);
    if (!named.hasValue() && std::min(sourcePort, destinationPort) < kFirstRegisteredPort) return {};
    // A payload the capture cut short was longer on the wire by what the packet lost.
    const std::size_t wireSize =
        payload.size() + (cutBySnapshot(payload, packet) ? packet->realLength() - packet->captureLength() : 0);
    auto seen = protocolForContent(transport, payload.span(), wireSize);
    if (!seen || (named.hasValue() && *seen == named.view())) return named;
    if (named.hasValue()) {
        auto cls = QORPacket::pluginAnalyzerClass(named.view());
        if (cls && cls->inspect(payload, packet, [](const QORPluginAnalyzerProtocol&) {})) return named;
    }
    return InternedString(*seen);
}

}  // namespace qor::standard
