// The TLS record-layer analyzer ("TLS", TCP 443 and the other implicit-TLS ports): records,
// handshake messages and the ClientHello's server name.

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "ContentProbes.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "SnapshotCut.hpp"

namespace qor::standard::application {
namespace {


/// ContentType (1) | ProtocolVersion (2) | length (2).
constexpr std::size_t kRecordHeaderSize = 5;
/// HandshakeType (1) | length (3).
constexpr std::size_t kHandshakeHeaderSize = 4;
/// RFC 8446 section 5.1: a record's fragment is at most 2^14 bytes (plus 2048 of expansion for
/// protected records, RFC 5246 section 6.2.3).
constexpr std::size_t kMaxRecordLength = 16384 + 2048;
/// Records shown per segment; the rest are counted.
constexpr std::size_t kMaxRecords = 64;
constexpr std::uint8_t kContentChangeCipherSpec = 20, kContentAlert = 21, kContentHandshake = 22,
                       kContentHeartbeat = 24;
constexpr std::uint8_t kClientHello = 1, kServerHello = 2;
constexpr std::uint16_t kExtensionServerName = 0, kExtensionALPN = 16, kExtensionSupportedVersions = 43;

constexpr std::array kContentTypes = {
    CodeName{20, "Change Cipher Spec"}, CodeName{21, "Alert"}, CodeName{22, "Handshake"},
    CodeName{23, "Application Data"},   CodeName{24, "Heartbeat"},
};
constexpr std::array kHandshakeTypes = {
    CodeName{0, "Hello Request"},       CodeName{1, "Client Hello"},        CodeName{2, "Server Hello"},
    CodeName{4, "New Session Ticket"},  CodeName{5, "End of Early Data"},   CodeName{8, "Encrypted Extensions"},
    CodeName{11, "Certificate"},        CodeName{12, "Server Key Exchange"}, CodeName{13, "Certificate Request"},
    CodeName{14, "Server Hello Done"},  CodeName{15, "Certificate Verify"}, CodeName{16, "Client Key Exchange"},
    CodeName{20, "Finished"},           CodeName{22, "Certificate Status"}, CodeName{24, "Key Update"},
};
constexpr std::array kVersions = {
    CodeName{0x0300, "SSL 3.0"}, CodeName{0x0301, "TLS 1.0"}, CodeName{0x0302, "TLS 1.1"},
    CodeName{0x0303, "TLS 1.2"}, CodeName{0x0304, "TLS 1.3"},
};
constexpr std::array kAlertLevels = {CodeName{1, "Warning"}, CodeName{2, "Fatal"}};

/// Whether a record header could start here: a known content type and a 3.x version.
bool plausibleRecord(ByteReader r) {
    auto type = r.peekU8(0);
    auto major = r.peekU8(1);
    auto minor = r.peekU8(2);
    return type && major && minor && *type >= kContentChangeCipherSpec && *type <= kContentHeartbeat && *major == 3 &&
           *minor <= 4;
}

std::string versionText(std::uint16_t version) {
    if (auto name = lookupName(kVersions, version)) return std::string(*name) + " (" + hexText(version, 4) + ")";
    if ((version & 0x0F0F) == 0x0A0A) return "GREASE (" + hexText(version, 4) + ")";
    if ((version >> 8) == 0x7F) return "TLS 1.3 draft " + std::to_string(version & 0xFF) + " (" + hexText(version, 4) + ")";
    return hexText(version, 4);
}

/// What a ClientHello or ServerHello says that the summary and the detail rows show.
struct Hello {
    std::uint16_t version = 0;
    std::optional<std::string> serverName;
    std::vector<std::string> alpn;
    std::vector<std::uint16_t> supportedVersions;
    std::optional<std::uint16_t> cipherSuite;
    std::size_t cipherSuiteCount = 0;
    std::size_t extensionCount = 0;
    bool complete = false;
};

/// Reads the server_name extension (RFC 6066 section 3): list length (2), then entries of
/// name type (1) | length (2) | name; the first host_name (type 0) wins.
std::optional<std::string> readServerName(ByteReader ext) {
    auto listLength = ext.readU16be();
    if (!listLength) return std::nullopt;
    auto list = ext.readSlice(*listLength);
    if (!list) return std::nullopt;
    while (!list->empty()) {
        auto type = list->readU8();
        auto length = list->readU16be();
        if (!type || !length) return std::nullopt;
        auto name = list->readString(*length);
        if (!name) return std::nullopt;
        if (*type == 0) return printableText(*name);
    }
    return std::nullopt;
}

/// Reads a ClientHello or ServerHello body (RFC 8446 section 4.1.2, RFC 5246 section 7.4.1):
///
///     ClientHello: version (2) | random (32) | session_id <0..32> | cipher_suites <2..2^16-2>
///                  | compression_methods <1..2^8-1> | extensions <8..2^16-1>
///     ServerHello: version (2) | random (32) | session_id <0..32> | cipher_suite (2)
///                  | compression_method (1) | extensions <6..2^16-1>
///
/// Every vector is re-sliced to its declared length before it is read, so a lying length never
/// lets one field run into the next.
Hello readHello(ByteReader body, bool client) {
    Hello h;
    auto version = body.readU16be();
    if (!version || !body.skip(32)) return h;
    h.version = *version;
    auto sessionLength = body.readU8();
    if (!sessionLength || !body.skip(*sessionLength)) return h;
    if (client) {
        auto suitesLength = body.readU16be();
        if (!suitesLength || !body.skip(*suitesLength)) return h;
        h.cipherSuiteCount = *suitesLength / 2;
        auto compressionLength = body.readU8();
        if (!compressionLength || !body.skip(*compressionLength)) return h;
    } else {
        h.cipherSuite = body.readU16be();
        if (!h.cipherSuite || !body.skip(1)) return h;
    }
    h.complete = true;
    auto extensionsLength = body.readU16be();
    if (!extensionsLength) return h;
    auto extensions = body.readSlice(*extensionsLength);
    if (!extensions) return h;
    while (extensions->remaining() >= 4) {
        auto type = *extensions->readU16be();
        auto length = *extensions->readU16be();
        auto ext = extensions->readSlice(length);
        if (!ext) break;
        ++h.extensionCount;
        if (type == kExtensionServerName && client) {
            h.serverName = readServerName(*ext);
        } else if (type == kExtensionALPN) {
            auto listLength = ext->readU16be();
            auto list = listLength ? ext->readSlice(*listLength) : std::nullopt;
            while (list && !list->empty()) {
                auto nameLength = list->readU8();
                auto name = nameLength ? list->readString(*nameLength) : std::nullopt;
                if (!name) break;
                h.alpn.push_back(printableText(*name));
            }
        } else if (type == kExtensionSupportedVersions) {
            if (client) {
                auto listLength = ext->readU8();
                auto list = listLength ? ext->readSlice(*listLength) : std::nullopt;
                while (list && list->remaining() >= 2) h.supportedVersions.push_back(*list->readU16be());
            } else if (auto v = ext->readU16be()) {
                h.supportedVersions.push_back(*v);
            }
        }
    }
    return h;
}

/// One record as found in the segment.
struct Record {
    std::size_t offset = 0;
    std::uint8_t type = 0;
    std::uint16_t version = 0;
    std::uint16_t length = 0;
    std::span<const std::byte> fragment;  ///< the bytes there (fewer than `length` when cut)
};

/// The records of a segment, and where the walk stopped.
struct RecordWalk {
    std::vector<Record> records;
    std::size_t recordCount = 0;  ///< all records, including those past `kMaxRecords`
    std::size_t end = 0;
    bool continuation = false;  ///< the segment does not start with a record header
};

/// Walks records (RFC 8446 section 5.1): ContentType | ProtocolVersion | uint16 length | fragment.
/// A record whose length runs past the segment is kept with the bytes there (it continues in the
/// next segment); bytes that do not look like a record header end the walk.
RecordWalk walkRecords(const Data& data) {
    RecordWalk walk;
    ByteReader r(data);
    if (!plausibleRecord(r)) {
        walk.continuation = true;
        walk.end = data.size();
        return walk;
    }
    while (r.remaining() >= kRecordHeaderSize && plausibleRecord(r)) {
        Record record;
        record.offset = r.offset();
        record.type = *r.readU8();
        record.version = *r.readU16be();
        record.length = *r.readU16be();
        record.fragment = *r.readBytes(std::min<std::size_t>(record.length, r.remaining()));
        ++walk.recordCount;
        if (walk.records.size() < kMaxRecords) walk.records.push_back(record);
    }
    walk.end = r.remaining() < kRecordHeaderSize ? data.size() : r.offset();
    return walk;
}

/// The names of the handshake messages in a handshake record's fragment; "Encrypted Handshake
/// Message" when the fragment does not parse as messages (protected after Change Cipher Spec).
std::vector<std::string> handshakeNames(std::span<const std::byte> fragment, bool wholeRecord) {
    std::vector<std::string> names;
    ByteReader r(fragment);
    while (r.remaining() >= kHandshakeHeaderSize) {
        auto type = *r.readU8();
        auto length = *r.readU24be();
        auto name = lookupName(kHandshakeTypes, type);
        if (!name || (wholeRecord && length > r.remaining())) return {"Encrypted Handshake Message"};
        names.emplace_back(*name);
        if (!r.skip(std::min<std::size_t>(length, r.remaining()))) break;
    }
    if (names.empty()) return {"Encrypted Handshake Message"};
    if (wholeRecord && !r.empty()) return {"Encrypted Handshake Message"};
    return names;
}

/// The summary piece of one record.
std::string recordSummary(const Record& record) {
    bool whole = record.fragment.size() == record.length;
    if (record.type == kContentHandshake) {
        auto names = handshakeNames(record.fragment, whole);
        std::string out;
        for (auto& n : names) {
            if (!out.empty()) out += ", ";
            out += n;
        }
        ByteReader r(record.fragment);
        if (r.peekU8() == kClientHello) {
            r.skip(kHandshakeHeaderSize);
            auto hello = readHello(r, true);
            if (hello.serverName) out += " (SNI " + *hello.serverName + ")";
        }
        return out;
    }
    if (record.type == kContentAlert && record.length != 2) return "Encrypted Alert";
    if (record.type == kContentAlert) return "Alert";
    return nameOrUnknown(kContentTypes, record.type);
}

/// A TCP segment's TLS records (RFC 8446 section 5, RFC 5246 section 6.2). Everything in the
/// segment is this analyzer's: the records and, when the segment starts inside a record that
/// began in an earlier segment, the "Continuation Data". Records are not reassembled across
/// segments; a record cut by the segment end shows what is there.
///
/// The summary lists the record and handshake types, "Client Hello (SNI example.com)" for a
/// ClientHello with a server name.
class TLSAnalyzer final : public StandardAnalyzer<TLSAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses an empty segment, and one that starts with an HTTP message head: no TLS record
    /// starts with a printable request or status line, and plain HTTP sent to a TLS port (a
    /// client that forgot the "s") is HTTP, as tshark shows it. Any other segment is taken, since
    /// one that starts inside a record cannot be told from it.
    static bool accepts(const Data& data, const PacketRef&) { return !data.empty() && !looksLikeHTTP(data.span()); }

    /// The whole segment is the header.
    TLSAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data), cut_(cutBySnapshot(data, packet)) {
        setHeaderSize(data.size());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] bool hasPayload() const override { return false; }
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"TLS">(); }

    /// "Client Hello (SNI www.example.com)", "Server Hello, Change Cipher Spec, Application Data".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        if (data.empty()) return std::nullopt;
        auto walk = walkRecords(data);
        if (walk.continuation) return "Continuation Data";
        std::string info;
        for (const auto& record : walk.records) {
            if (!info.empty()) info += ", ";
            info += recordSummary(record);
        }
        if (walk.recordCount > walk.records.size())
            info += ", " + std::to_string(walk.recordCount - walk.records.size()) + " more records";
        return noteCut(info, cut_);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        if (data.empty()) return {};
        auto walk = walkRecords(data);
        NodeList nodes{heading("Transport Layer Security", protocolInfo(data), data.size())};
        if (walk.continuation) {
            nodes.push_back(field("Continuation Data", std::to_string(data.size()) + " bytes", 0, data.size()));
            return nodes;
        }
        for (const auto& record : walk.records) {
            auto node = field(nameOrUnknown(kContentTypes, record.type) + " Record", recordSummary(record), record.offset,
                              kRecordHeaderSize + record.fragment.size());
            node->addChild(field("Content Type", namedCode(kContentTypes, record.type), record.offset, 1));
            node->addChild(field("Version", versionText(record.version), record.offset + 1, 2));
            node->addChild(field("Length", std::to_string(record.length), record.offset + 3, 2));
            if (record.length > kMaxRecordLength)
                node->addChild(field("Malformed", "record longer than 18432 bytes", record.offset + 3, 2));
            if (record.fragment.size() < record.length)
                node->addChild(field("Truncated", std::to_string(record.fragment.size()) + " of " +
                                                      std::to_string(record.length) + " bytes in this segment",
                                     record.offset + kRecordHeaderSize, record.fragment.size()));
            addFragmentNodes(node, record);
            nodes.push_back(std::move(node));
        }
        if (walk.end < data.size())
            nodes.push_back(field("Unrecognised Data", std::to_string(data.size() - walk.end) + " bytes", walk.end,
                                  data.size() - walk.end));
        return nodes;
    }

    /// "tlsContentType" (of the first record), "tlsServerName" (the SNI of a ClientHello),
    /// "tlsRecordVersion".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "tlsContentType" || key == "tlsRecordVersion") {
            auto walk = walkRecords(data);
            if (walk.records.empty()) return {};
            if (key == "tlsContentType") return Value(static_cast<unsigned>(walk.records.front().type));
            return Value(static_cast<unsigned>(walk.records.front().version));
        }
        if (key == "tlsServerName") {
            for (const auto& record : walkRecords(data).records) {
                ByteReader r(record.fragment);
                if (record.type != kContentHandshake || r.peekU8() != kClientHello) continue;
                r.skip(kHandshakeHeaderSize);
                return Value(readHello(r, true).serverName);
            }
        }
        return {};
    }

private:
    /// Handshake messages, alert fields or the fragment's size under a record's node.
    static void addFragmentNodes(const std::shared_ptr<QORNode>& node, const Record& record) {
        std::size_t base = record.offset + kRecordHeaderSize;
        if (record.type == kContentAlert && record.length == 2 && record.fragment.size() == 2) {
            node->addChild(field("Alert Level", namedCode(kAlertLevels, unsigned(record.fragment[0])), base, 1));
            node->addChild(field("Alert Description", std::to_string(unsigned(record.fragment[1])), base + 1, 1));
            return;
        }
        if (record.type != kContentHandshake) return;
        auto names = handshakeNames(record.fragment, record.fragment.size() == record.length);
        if (names.size() == 1 && names.front() == "Encrypted Handshake Message") return;
        ByteReader r(record.fragment);
        while (r.remaining() >= kHandshakeHeaderSize) {
            std::size_t at = base + r.offset();
            auto type = *r.readU8();
            auto length = *r.readU24be();
            auto body = r.readSlice(std::min<std::size_t>(length, r.remaining()));
            auto message = field("Handshake Protocol", namedCode(kHandshakeTypes, type), at,
                                 kHandshakeHeaderSize + body->size());
            message->addChild(field("Length", std::to_string(length), at + 1, 3));
            if (type == kClientHello || type == kServerHello) addHelloNodes(message, *body, type == kClientHello, at + 4);
            node->addChild(message);
        }
    }

    static void addHelloNodes(const std::shared_ptr<QORNode>& message, ByteReader body, bool client, std::size_t at) {
        auto hello = readHello(body, client);
        if (!hello.complete) {
            message->addChild(field("Malformed", "hello cut short or with a lying length", at, body.size()));
            return;
        }
        message->addChild(field("Version", versionText(hello.version), at, 2));
        if (client) message->addChild(field("Cipher Suites", std::to_string(hello.cipherSuiteCount) + " suites", at, 0));
        else message->addChild(field("Cipher Suite", hexText(*hello.cipherSuite, 4), at, 0));
        message->addChild(field("Extensions", std::to_string(hello.extensionCount), at, 0));
        if (hello.serverName) message->addChild(field("Server Name", *hello.serverName, at, 0));
        if (!hello.alpn.empty()) {
            std::string text;
            for (auto& p : hello.alpn) text += (text.empty() ? "" : ", ") + p;
            message->addChild(field("ALPN Protocols", text, at, 0));
        }
        if (!hello.supportedVersions.empty()) {
            std::string text;
            for (auto v : hello.supportedVersions) text += (text.empty() ? "" : ", ") + versionText(v);
            message->addChild(field("Supported Versions", text, at, 0));
        }
    }

private:
    bool cut_;  ///< the capture kept only part of the message
};

const AnalyzerClassRegistration<TLSAnalyzer> kClass{"TLSAnalyzer"};

const QORPluginAnalyzerClass& TLSAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "TLS";
    f.description = "Transport Layer Security records and handshake messages (RFC 5246, RFC 8446)";
    f.analyzerClass = kClass;
    // HTTPS, SMTPS (submission over TLS), LDAPS, DNS over TLS, IMAPS, POP3S and the common
    // alternative HTTPS port.
    f.protocols = {portsTarget("TLS", {443, 465, 636, 853, 993, 995, 8443}, kQORSourceProtocols::tcp)};
    f.attributes = {
        attribute(kClass, "TLS Content Type", "tlsContentType", AttributeValueType::uint8, 0, kToEndOfHeader),
        attribute(kClass, "TLS Record Version", "tlsRecordVersion", AttributeValueType::uint16, 0, kToEndOfHeader),
        attribute(kClass, "TLS Server Name", "tlsServerName", AttributeValueType::string, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::application
