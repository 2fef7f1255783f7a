// The SMTP analyzer ("SMTP", TCP ports 25 and 587): commands, replies and message data.

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "SnapshotCut.hpp"
#include "streams/InterpretingAnalyzerClass.hpp"
#include "streams/SMTPStreamInterpreter.hpp"

namespace qor::standard::application {
namespace {


/// Lines shown per segment; the rest are counted.
constexpr std::size_t kMaxLines = 64;

/// Commands (RFC 5321 section 4.1, RFC 3207 STARTTLS, RFC 4954 AUTH, RFC 3030 BDAT).
constexpr std::array<std::string_view, 16> kCommands = {"HELO", "EHLO", "MAIL", "RCPT", "DATA", "RSET",
                                                        "VRFY", "EXPN", "HELP", "NOOP", "QUIT", "STARTTLS",
                                                        "AUTH", "BDAT", "TURN", "ETRN"};

/// One line without its CRLF, and the offset after it.
struct Line {
    std::string_view text;
    std::size_t offset = 0;
    std::size_t next = 0;
};

std::vector<Line> splitLines(std::string_view all) {
    std::vector<Line> lines;
    std::size_t at = 0;
    while (at < all.size()) {
        auto end = all.find('\n', at);
        std::size_t next = end == std::string_view::npos ? all.size() : end + 1;
        auto text = all.substr(at, (end == std::string_view::npos ? all.size() : end) - at);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        lines.push_back({text, at, next});
        at = next;
    }
    return lines;
}

/// A reply line: three digits then a space, a hyphen (more lines follow) or the end.
bool isReply(std::string_view line) {
    if (line.size() < 3) return false;
    for (int i = 0; i < 3; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    return line.size() == 3 || line[3] == ' ' || line[3] == '-';
}

/// The command verb of a line, upper-cased, when it is one of `kCommands`.
std::optional<std::string> commandVerb(std::string_view line) {
    auto verb = line.substr(0, line.find(' '));
    std::string upper(verb);
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (auto c : kCommands)
        if (c == upper) return upper;
    return std::nullopt;
}

/// An SMTP segment (RFC 5321): client command lines ("MAIL FROM:<a@b>"), server reply lines
/// ("250-SIZE 10240000", "354 Start mail input") or, between DATA and the final ".", message
/// text. The whole segment is this analyzer's; nothing is carried. Which side sent a segment is
/// read from its first line: a reply starts with three digits, a command with a known verb, and
/// anything else is message data.
class SMTPAnalyzer final : public StandardAnalyzer<SMTPAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses an empty segment.
    static bool accepts(const Data& data, const PacketRef&) { return !data.empty(); }

    /// The whole segment is the header.
    SMTPAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data), cut_(cutBySnapshot(data, packet)) {
        setHeaderSize(data.size());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] bool hasPayload() const override { return false; }
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"SMTP">(); }

    /// "C: MAIL FROM:<a@b>", "S: 250 OK" (the first line), or "C: DATA fragment, 589 bytes".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        if (data.empty()) return std::nullopt;
        auto lines = splitLines(data.stringView());
        auto first = lines.front().text;
        if (isReply(first)) return noteCut("S: " + printableText(first), cut_);
        if (commandVerb(first)) return noteCut("C: " + printableText(first), cut_);
        return noteCut("C: DATA fragment, " + std::to_string(data.size()) + " bytes", cut_);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        if (data.empty()) return {};
        NodeList nodes{heading("Simple Mail Transfer Protocol", protocolInfo(data), data.size())};
        auto lines = splitLines(data.stringView());
        auto first = lines.front().text;
        if (!isReply(first) && !commandVerb(first)) {
            nodes.push_back(field("Message Data", std::to_string(data.size()) + " bytes", 0, data.size()));
            std::size_t shown = 0;
            for (const auto& line : lines) {
                if (shown++ == kMaxLines) break;
                nodes.push_back(field("Line", printableText(line.text), line.offset, line.text.size()));
            }
            return nodes;
        }
        std::size_t shown = 0;
        for (const auto& line : lines) {
            if (shown++ == kMaxLines) {
                nodes.push_back(field("More Lines", std::to_string(lines.size() - kMaxLines), line.offset,
                                      data.size() - line.offset));
                break;
            }
            if (isReply(line.text)) {
                auto node = field("Response", printableText(line.text), line.offset, line.text.size());
                node->addChild(field("Response code", std::string(line.text.substr(0, 3)), line.offset, 3));
                if (line.text.size() > 4)
                    node->addChild(field("Response parameter", printableText(line.text.substr(4)), line.offset + 4,
                                         line.text.size() - 4));
                nodes.push_back(std::move(node));
            } else if (auto verb = commandVerb(line.text)) {
                auto node = field("Command Line", printableText(line.text), line.offset, line.text.size());
                node->addChild(field("Command", *verb, line.offset, verb->size()));
                if (line.text.size() > verb->size() + 1)
                    node->addChild(field("Request parameter", printableText(line.text.substr(verb->size() + 1)),
                                         line.offset + verb->size() + 1, line.text.size() - verb->size() - 1));
                nodes.push_back(std::move(node));
            } else {
                nodes.push_back(field("Line", printableText(line.text), line.offset, line.text.size()));
            }
        }
        return nodes;
    }

    /// "smtpCommand" (the first line's verb), "smtpReplyCode" (the first line's code).
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (data.empty()) return {};
        auto first = splitLines(data.stringView()).front().text;
        if (key == "smtpCommand") return Value(commandVerb(first));
        if (key == "smtpReplyCode" && isReply(first)) return Value(std::stoul(std::string(first.substr(0, 3))));
        return {};
    }

private:
    bool cut_;  ///< the capture kept only part of the message
};

/// The class also reads whole SMTP conversations (`streams::SMTPStreamInterpreter`).
const AnalyzerClassRegistration<SMTPAnalyzer, InterpretingAnalyzerClass<SMTPAnalyzer, streams::SMTPStreamInterpreter>>
    kClass{"SMTPAnalyzer"};

const QORPluginAnalyzerClass& SMTPAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "SMTP";
    f.description = "Simple Mail Transfer Protocol (RFC 5321): commands, replies and message data";
    f.analyzerClass = kClass;
    f.protocols = {portsTarget("SMTP", {25, 587}, kQORSourceProtocols::tcp)};
    f.attributes = {
        attribute(kClass, "SMTP Command", "smtpCommand", AttributeValueType::string, 0, kToEndOfHeader),
        attribute(kClass, "SMTP Reply Code", "smtpReplyCode", AttributeValueType::uint16, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::application
