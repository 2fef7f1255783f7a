// The Network Time Protocol analyzer ("NTP", UDP port 123).

#include <array>
#include <cstdio>
#include <ctime>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "SnapshotCut.hpp"

namespace qor::standard::application {
namespace {


/// The time-exchange header of modes 1 to 5 (RFC 5905 section 7.3).
constexpr std::size_t kHeaderSize = 48;
/// Control (6) and private (7) messages have a shorter fixed part (RFC 1305 appendix B).
constexpr std::size_t kControlHeaderSize = 12;
constexpr std::uint8_t kModeControl = 6;
/// Seconds from 1900-01-01 (the NTP era 0 epoch) to 1970-01-01.
constexpr std::int64_t kEraToUnix = 2208988800LL;

constexpr std::array kModes = {
    CodeName{0, "reserved"},  CodeName{1, "symmetric active"}, CodeName{2, "symmetric passive"},
    CodeName{3, "client"},    CodeName{4, "server"},           CodeName{5, "broadcast"},
    CodeName{6, "NTP control message"}, CodeName{7, "reserved for private use"},
};
constexpr std::array kLeap = {
    CodeName{0, "no warning"}, CodeName{1, "last minute of the day has 61 seconds"},
    CodeName{2, "last minute of the day has 59 seconds"}, CodeName{3, "unknown (clock unsynchronized)"},
};

/// A 64-bit NTP timestamp as UTC text ("2024-01-02 03:04:05.123456 UTC"), or "not set" for 0.
std::string timestampText(std::uint64_t ts) {
    if (ts == 0) return "not set";
    auto seconds = static_cast<std::int64_t>(ts >> 32) - kEraToUnix;
    auto micros = static_cast<unsigned>(((ts & 0xFFFFFFFFu) * 1000000ULL) >> 32);
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%06u UTC", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, micros);
    return buffer;
}

/// A 32-bit short-format duration (16.16 seconds) as seconds.
std::string shortText(std::uint32_t v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6f seconds", double(v) / 65536.0);
    return buffer;
}

/// An NTP message (RFC 5905 section 7.3):
///
///     |LI | VN  |Mode |    Stratum    |     Poll      |  Precision   |
///     |                         Root Delay                           |
///     |                       Root Dispersion                        |
///     |                          Reference ID                        |
///     |                Reference, Origin, Receive, Transmit Timestamps (64 bits each)
///
/// Control and private messages (modes 6 and 7) show their first byte's fields and the rest as
/// data. Extension fields and the MAC are left as payload.
class NTPAnalyzer final : public StandardAnalyzer<NTPAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses messages shorter than their mode's fixed part, unless the capture cut them short
    /// (`cutBySnapshot`): those are kept and show what was captured.
    static bool accepts(const Data& data, const PacketRef& packet) {
        auto first = ByteReader(data).peekU8();
        if (!first) return false;
        return data.size() >= (mode(*first) >= kModeControl ? kControlHeaderSize : kHeaderSize) ||
               cutBySnapshot(data, packet);
    }

    /// A control or private message is all header; any other mode's header is the fixed part
    /// (the captured bytes, when cut short).
    NTPAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data), cut_(cutBySnapshot(data, packet)) {
        setHeaderSize(mode(*ByteReader(data).peekU8()) >= kModeControl ? data.size() : kHeaderSize);
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] bool hasPayload() const override { return false; }
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"NTP">(); }

    /// "NTP Version 4, client".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto first = ByteReader(data).peekU8();
        if (!first) return std::nullopt;
        return noteCut("NTP Version " + std::to_string((*first >> 3) & 7) + ", " + nameOrUnknown(kModes, *first & 7),
                       cut_ && data.size() < kHeaderSize);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto first = ByteReader(data).peekU8();
        if (!first) return {};
        std::uint8_t mode = *first & 7;
        NodeList nodes{heading("Network Time Protocol", protocolInfo(data), protocolSize())};
        nodes.push_back(field("Leap Indicator", namedCode(kLeap, *first >> 6), 0, 1));
        nodes.push_back(field("Version number", std::to_string((*first >> 3) & 7), 0, 1));
        nodes.push_back(field("Mode", namedCode(kModes, mode), 0, 1));
        if (mode >= kModeControl || data.size() < kHeaderSize) {
            if (data.size() > 1) nodes.push_back(field("Data", hexBytes(ByteReader(data).from(1).rest()), 1, data.size() - 1));
            return nodes;
        }
        auto n = [&](std::size_t offset, std::size_t length) { return *fieldNumber(data, offset, length); };
        ByteReader r(data);
        auto stratum = *r.peekU8(1);
        nodes.push_back(field("Peer Clock Stratum", std::to_string(stratum), 1, 1));
        nodes.push_back(field("Peer Polling Interval", std::to_string(static_cast<std::int8_t>(*r.peekU8(2))), 2, 1));
        nodes.push_back(field("Peer Clock Precision", std::to_string(static_cast<std::int8_t>(*r.peekU8(3))), 3, 1));
        nodes.push_back(field("Root Delay", shortText(static_cast<std::uint32_t>(n(4, 4))), 4, 4));
        nodes.push_back(field("Root Dispersion", shortText(static_cast<std::uint32_t>(n(8, 4))), 8, 4));
        auto ref = *r.bytesAt(12, 4);
        std::string refText = stratum <= 1 ? printableText(ref) : *ipv4Text(ref);
        nodes.push_back(field("Reference ID", refText, 12, 4));
        nodes.push_back(field("Reference Timestamp", timestampText(n(16, 8)), 16, 8));
        nodes.push_back(field("Origin Timestamp", timestampText(n(24, 8)), 24, 8));
        nodes.push_back(field("Receive Timestamp", timestampText(n(32, 8)), 32, 8));
        nodes.push_back(field("Transmit Timestamp", timestampText(n(40, 8)), 40, 8));
        return nodes;
    }

    /// "ntpMode", "ntpVersion", "ntpStratum".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        auto first = ByteReader(data).peekU8();
        if (!first) return {};
        if (key == "ntpMode") return Value(static_cast<unsigned>(*first & 7));
        if (key == "ntpVersion") return Value(static_cast<unsigned>((*first >> 3) & 7));
        if (key == "ntpStratum") return Value(fieldNumber(data, 1, 1));
        return {};
    }

private:
    /// The mode field of the first byte.
    static std::uint8_t mode(std::uint8_t first) { return first & 7; }

    bool cut_;  ///< the capture kept only part of the message
};

const AnalyzerClassRegistration<NTPAnalyzer> kClass{"NTPAnalyzer"};

const QORPluginAnalyzerClass& NTPAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "NTP";
    f.description = "Network Time Protocol (RFC 5905)";
    f.analyzerClass = kClass;
    f.protocols = {portsTarget("NTP", {123}, kQORSourceProtocols::udp)};
    f.attributes = {
        attribute(kClass, "NTP Mode", "ntpMode", AttributeValueType::uint8, 0, 1),
        attribute(kClass, "NTP Version", "ntpVersion", AttributeValueType::uint8, 0, 1),
        attribute(kClass, "NTP Stratum", "ntpStratum", AttributeValueType::uint8, 1, 1),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::application
