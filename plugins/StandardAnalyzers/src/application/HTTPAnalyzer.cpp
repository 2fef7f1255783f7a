// The HTTP/1.x analyzer ("HTTP", TCP ports 80 and 8080): request or status line and headers.

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "ContentProbes.hpp"
#include "SnapshotCut.hpp"
#include "streams/HTTPStreamInterpreter.hpp"
#include "streams/InterpretingAnalyzerClass.hpp"

namespace qor::standard::application {
namespace {


/// Header lines shown per message; the rest are counted.
constexpr std::size_t kMaxHeaderLines = 100;

/// The start line of a message, when the segment begins with one.
struct StartLine {
    bool request = false;
    std::string_view method, target, version;  ///< request
    std::string_view status, reason;           ///< response (version shared)
    std::size_t length = 0;                    ///< line length without its CRLF
};

/// One line of the segment: the text without its end (CRLF or LF) and the offset after it.
struct Line {
    std::string_view text;
    std::size_t next = 0;
    bool ended = false;
};

Line lineAt(std::string_view all, std::size_t from) {
    auto end = all.find('\n', from);
    if (end == std::string_view::npos) return {all.substr(from), all.size(), false};
    auto text = all.substr(from, end - from);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return {text, end + 1, true};
}

/// Parses "METHOD SP target SP HTTP/x.y" or "HTTP/x.y SP status SP reason" (RFC 9112
/// section 3 and 4); nothing for anything else.
std::optional<StartLine> parseStartLine(std::string_view text) {
    StartLine s;
    s.length = text.size();
    if (text.starts_with("HTTP/1.")) {
        auto sp = text.find(' ');
        if (sp == std::string_view::npos || text.size() < sp + 4) return std::nullopt;
        s.version = text.substr(0, sp);
        s.status = text.substr(sp + 1, 3);
        for (char c : s.status)
            if (c < '0' || c > '9') return std::nullopt;
        s.reason = text.size() > sp + 5 ? text.substr(sp + 5) : std::string_view();
        return s;
    }
    auto sp1 = text.find(' ');
    if (sp1 == std::string_view::npos) return std::nullopt;
    auto method = text.substr(0, sp1);
    auto sp2 = text.rfind(' ');
    if (!isHTTPMethod(method) || sp2 == sp1 || !text.substr(sp2 + 1).starts_with("HTTP/1.")) return std::nullopt;
    s.request = true;
    s.method = method;
    s.target = text.substr(sp1 + 1, sp2 - sp1 - 1);
    s.version = text.substr(sp2 + 1);
    return s;
}

/// Where the message head ends: after the empty line, or the segment's end when the head goes
/// on in the next segment.
std::size_t headEnd(std::string_view all) {
    std::size_t at = 0;
    while (at < all.size()) {
        auto line = lineAt(all, at);
        at = line.next;
        if (line.ended && line.text.empty()) return at;
    }
    return all.size();
}

/// An HTTP/1.x segment (RFC 9112). A segment that starts with a request or status line has its
/// head (start line and header fields, through the empty line) as this analyzer's header and the
/// body bytes after it as payload ("payloadSize"), which the detail tree shows as the payload. Any
/// other segment of the connection (a body continued, a head split over segments) is
/// "Continuation": no header of its own, all payload. Messages are not reassembled across
/// segments.
class HTTPAnalyzer final : public StandardAnalyzer<HTTPAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses an empty segment.
    static bool accepts(const Data& data, const PacketRef&) { return !data.empty(); }

    /// The header is the message head; a body after it is the payload.
    HTTPAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data), cut_(cutBySnapshot(data, packet)) {
        auto head = headSize(data);
        setHeaderSize(head);
        setHasPayload(data.size() > head);
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"HTTP">(); }

    /// The start line ("GET /index.html HTTP/1.1", "HTTP/1.1 200 OK") or "Continuation".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        if (data.empty()) return std::nullopt;
        auto line = lineAt(data.stringView(), 0);
        if (!parseStartLine(line.text)) return noteCut("Continuation", cut_);
        return noteCut(printableText(line.text), cut_);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        if (data.empty()) return {};
        auto all = data.stringView();
        auto size = headSize(data);
        NodeList nodes{heading("Hypertext Transfer Protocol", protocolInfo(data), size)};
        auto first = lineAt(all, 0);
        auto start = parseStartLine(first.text);
        if (!start) {
            nodes.push_back(field("Continuation", std::to_string(data.size()) + " bytes", 0, data.size()));
            return nodes;
        }
        auto offsetOf = [&](std::string_view part) { return static_cast<std::size_t>(part.data() - all.data()); };
        if (start->request) {
            nodes.push_back(field("Request Method", std::string(start->method), 0, start->method.size()));
            nodes.push_back(field("Request URI", printableText(start->target), offsetOf(start->target), start->target.size()));
            nodes.push_back(field("Request Version", printableText(start->version), offsetOf(start->version), start->version.size()));
        } else {
            nodes.push_back(field("Response Version", printableText(start->version), 0, start->version.size()));
            nodes.push_back(field("Status Code", std::string(start->status), offsetOf(start->status), 3));
            nodes.push_back(field("Response Phrase", printableText(start->reason), start->reason.empty() ? 0 : offsetOf(start->reason),
                                  start->reason.size()));
        }
        std::size_t at = first.next, shown = 0, more = 0;
        while (at < size) {
            auto line = lineAt(all, at);
            if (line.text.empty()) break;
            if (shown < kMaxHeaderLines) {
                auto colon = line.text.find(':');
                std::string name(colon == std::string_view::npos ? line.text : line.text.substr(0, colon));
                std::string_view value = colon == std::string_view::npos ? std::string_view() : line.text.substr(colon + 1);
                while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
                nodes.push_back(field(printableText(name), printableText(value), at, line.text.size()));
                ++shown;
            } else {
                ++more;
            }
            at = line.next;
        }
        if (more) nodes.push_back(field("More Header Lines", std::to_string(more), at, 0));
        if (size < data.size()) nodes.push_back(field("Body", std::to_string(data.size() - size) + " bytes", size, data.size() - size));
        return nodes;
    }

    /// "payloadSize" (body bytes in this segment), "httpMethod", "httpRequestURI", "httpStatusCode".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "payloadSize") {
            // The walk asks with the bytes the analyzer was made from, whose head it measured.
            const bool own = data.data() == bytes().data() && data.size() == bytes().size() && data.size() <= UINT16_MAX;
            auto size = own ? std::size_t{protocolSize()} : headSize(data);
            return Value(static_cast<unsigned>(std::min<std::size_t>(data.size() - size, UINT16_MAX)));
        }
        auto start = parseStartLine(lineAt(data.stringView(), 0).text);
        if (!start) return {};
        if (key == "httpMethod" && start->request) return Value(std::string(start->method));
        if (key == "httpRequestURI" && start->request) return Value(printableText(start->target));
        if (key == "httpStatusCode" && !start->request) return Value(std::stoul(std::string(start->status)));
        return {};
    }

private:
    /// The head's size: through the empty line after a start line, 0 for a continuation.
    static std::size_t headSize(const Data& data) {
        auto all = data.stringView();
        if (!parseStartLine(lineAt(all, 0).text)) return 0;
        return headEnd(all);
    }

private:
    bool cut_;  ///< the capture kept only part of the message
};

/// The class also reads whole HTTP conversations (`streams::HTTPStreamInterpreter`).
const AnalyzerClassRegistration<HTTPAnalyzer, InterpretingAnalyzerClass<HTTPAnalyzer, streams::HTTPStreamInterpreter>>
    kClass{"HTTPAnalyzer"};

const QORPluginAnalyzerClass& HTTPAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "HTTP";
    f.description = "Hypertext Transfer Protocol 1.x (RFC 9112): request and status lines, header fields";
    f.analyzerClass = kClass;
    f.protocols = {portsTarget("HTTP", {80, 8080}, kQORSourceProtocols::tcp)};
    f.attributes = {
        attribute(kClass, "HTTP Method", "httpMethod", AttributeValueType::string, 0, kToEndOfHeader),
        attribute(kClass, "HTTP Request URI", "httpRequestURI", AttributeValueType::string, 0, kToEndOfHeader),
        attribute(kClass, "HTTP Status Code", "httpStatusCode", AttributeValueType::uint16, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::application
