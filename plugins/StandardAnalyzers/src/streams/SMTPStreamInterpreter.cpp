#include "streams/SMTPStreamInterpreter.hpp"

#include <vector>

#include "AnalyzerBase.hpp"
#include "QORModels/streams/MIMEParser.hpp"
#include "QORModels/streams/MailTransport.hpp"
#include "streams/StreamMessageBuilding.hpp"

namespace qor::standard::streams {
namespace {

constexpr std::size_t kMaxMessages = 10000;
constexpr std::size_t kMaxRows = 100;

ByteRange range(std::size_t from, std::size_t to) { return {static_cast<std::int64_t>(from), static_cast<std::int64_t>(to)}; }

/// The raw line at `from` without its line end, and the offset after it; nothing without a line feed.
std::optional<std::pair<std::string_view, std::size_t>> rawLine(std::string_view all, std::size_t from) {
    auto feed = all.find('\n', from);
    if (feed == std::string_view::npos) return std::nullopt;
    auto line = all.substr(from, feed - from);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::pair{line, feed + 1};
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

/// A reply line (RFC 5321 section 4.2): three digits, then the end, a space or a hyphen.
bool isReplyLine(std::string_view line) {
    return line.size() >= 3 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]) &&
           (line.size() == 3 || line[3] == ' ' || line[3] == '-');
}

std::string upperVerb(std::string_view line) {
    std::string verb(line.substr(0, line.find(' ')));
    for (auto& c : verb)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return verb;
}

struct Reply {
    Exchange exchange;
    int code = 0;
};

/// The server's replies, multi-line ones joined into one message each.
std::vector<Reply> readReplies(const TCPStream& stream, std::vector<StreamMessage>& out) {
    const Data& data = stream.serverToClientData;
    auto all = data.stringView();
    std::vector<Reply> replies;
    std::size_t pos = 0;
    while (pos < all.size()) {
        if (out.size() == kMaxMessages) {
            out.push_back(rawDataMessage(stream, Direction::serverToClient, range(pos, all.size()),
                                         "more than " + std::to_string(kMaxMessages) + " messages: the rest is not read"));
            break;
        }
        const std::size_t from = pos;
        std::string code, joined;
        std::vector<DetailRow> detail;
        std::size_t lines = 0;
        while (auto line = rawLine(all, pos)) {
            auto [text, next] = *line;
            if (!isReplyLine(text) || (!code.empty() && text.substr(0, 3) != code)) break;
            code = std::string(text.substr(0, 3));
            auto rest = text.size() > 4 ? text.substr(4) : std::string_view();
            if (!rest.empty()) joined += (joined.empty() ? "" : " ") + std::string(rest.substr(0, 512));
            if (++lines <= kMaxRows) detail.push_back({"Line", summaryText(text)});
            pos = next;
            if (text.size() == 3 || text[3] == ' ') break;
        }
        if (lines == 0) {
            out.push_back(rawDataMessage(stream, Direction::serverToClient, range(pos, all.size()), "not an SMTP reply"));
            break;
        }
        if (lines > kMaxRows) detail.push_back({"More lines", std::to_string(lines - kMaxRows)});
        detail.insert(detail.begin(), DetailRow{"Code", code});
        auto summary = summaryText(code + (joined.empty() ? "" : " " + joined));
        replies.push_back({{out.size(), summary}, std::stoi(code)});
        out.push_back(placedMessage(stream, Direction::serverToClient, range(from, pos), StreamMessageKind::reply,
                                    std::move(summary), std::move(detail)));
    }
    return replies;
}

/// The mail after a DATA command, from `from` to its "." line: its message and MIME leaves.
std::size_t readMail(const TCPStream& stream, std::size_t from, std::vector<StreamMessage>& out) {
    const Data& data = stream.clientToServerData;
    auto all = data.stringView();
    std::size_t at = from, contentEnd = all.size(), end = all.size();
    bool complete = false;
    while (auto line = rawLine(all, at)) {
        if (line->first == ".") {
            contentEnd = at;
            end = line->second;
            complete = true;
            break;
        }
        at = line->second;
    }
    auto mail = MailTransport::dotUnstuff(data.slice(from, contentEnd - from));
    std::vector<DetailRow> detail;
    auto text = mail.stringView();
    auto split = text.find("\r\n\r\n");
    if (split == std::string_view::npos) split = text.find("\n\n");
    if (split != std::string_view::npos) {
        auto headers = MIMEParser::parseHeaders(mail.slice(0, split));
        for (std::size_t i = 0; i < headers.size() && i < kMaxRows; ++i)
            detail.push_back({summaryText(headers[i].first), summaryText(headers[i].second)});
    }
    if (!complete) detail.push_back({"Warning", "end of mail data (\".\") not captured"});
    const auto mailRange = range(from, end);
    auto message = placedMessage(stream, Direction::clientToServer, mailRange, StreamMessageKind::request,
                                 "message data, " + std::to_string(mail.size()) + " bytes", std::move(detail), mail,
                                 StreamBodyHint::text(StringEncoding::utf8));
    auto leaves = StreamMessage::dataMessages(mail, Direction::clientToServer, mailRange, message.packetIds,
                                              message.timestamp);
    out.push_back(std::move(message));
    for (auto& leaf : leaves) out.push_back(std::move(leaf));
    return end;
}

}  // namespace

bool SMTPStreamInterpreter::canInterpret(const TCPStream& stream) {
    if (auto line = rawLine(stream.serverToClientData.stringView().substr(0, 4096), 0);
        line && isReplyLine(line->first) && line->first.starts_with("220"))
        return true;
    if (auto line = rawLine(stream.clientToServerData.stringView().substr(0, 4096), 0)) {
        auto verb = upperVerb(line->first);
        return verb == "EHLO" || verb == "HELO";
    }
    return false;
}

StreamInterpretation SMTPStreamInterpreter::interpret(const TCPStream& stream) {
    std::vector<StreamMessage> serverMessages, clientMessages;
    auto replies = readReplies(stream, serverMessages);

    const Data& data = stream.clientToServerData;
    auto all = data.stringView();
    // The greeting: a first reply that no command can have asked for.
    const double firstClientTime = stream.locate(range(0, 1), Direction::clientToServer).timestamp.value_or(1e300);
    const std::size_t greeting =
        !replies.empty() && serverMessages[replies.front().exchange.index].timestamp <= firstClientTime ? 1 : 0;
    auto replyTo = [&](std::size_t request) -> const Reply* {
        return request + greeting < replies.size() ? &replies[request + greeting] : nullptr;
    };

    std::vector<Exchange> requests;
    std::size_t pos = 0;
    while (pos < all.size()) {
        if (clientMessages.size() >= kMaxMessages) {
            clientMessages.push_back(rawDataMessage(stream, Direction::clientToServer, range(pos, all.size()),
                                                    "more than " + std::to_string(kMaxMessages) +
                                                        " messages: the rest is not read"));
            break;
        }
        auto line = rawLine(all, pos);
        if (!line) {
            clientMessages.push_back(
                rawDataMessage(stream, Direction::clientToServer, range(pos, all.size()), "incomplete command line"));
            break;
        }
        auto [text, next] = *line;
        auto verb = upperVerb(text);
        std::vector<DetailRow> detail{{"Command", summaryText(verb)}};
        if (text.size() > verb.size() + 1) detail.push_back({"Parameter", summaryText(text.substr(verb.size() + 1))});
        auto summary = summaryText(text);
        requests.push_back({clientMessages.size(), summary});
        clientMessages.push_back(placedMessage(stream, Direction::clientToServer, range(pos, next),
                                               StreamMessageKind::request, summary, std::move(detail)));
        pos = next;
        const Reply* reply = replyTo(requests.size() - 1);
        if (verb == "DATA" && text.size() == 4 && (!reply || reply->code == 354)) {
            requests.push_back({clientMessages.size(), "message data"});
            pos = readMail(stream, pos, clientMessages);
        } else if (verb == "STARTTLS" && reply && reply->code == 220) {
            clientMessages.push_back(
                rawDataMessage(stream, Direction::clientToServer, range(pos, all.size()), "after STARTTLS"));
            break;
        }
    }

    auto merged = mergeByTime(std::move(clientMessages), std::move(serverMessages));
    std::vector<Exchange> answers;
    for (std::size_t i = greeting; i < replies.size(); ++i) answers.push_back(replies[i].exchange);
    auto pairings = pairInOrder(merged, requests, answers);
    return {std::move(merged.messages), std::move(pairings)};
}

}  // namespace qor::standard::streams
