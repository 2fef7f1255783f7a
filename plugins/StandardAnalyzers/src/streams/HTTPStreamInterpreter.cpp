#include "streams/HTTPStreamInterpreter.hpp"

#include <algorithm>
#include <vector>

#include "AnalyzerBase.hpp"
#include "ContentProbes.hpp"
#include "QORModels/streams/MIMEParser.hpp"
#include "streams/HTTPBodyDecoding.hpp"
#include "streams/StreamMessageBuilding.hpp"

namespace qor::standard::streams {
namespace {

constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxHeaderRows = 100;
constexpr std::size_t kMaxMessages = 10000;

using MIMEParser::lowered;
using MIMEParser::trimmed;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

/// "HTTP/1." and one digit.
bool isVersion(std::string_view text) { return text.size() == 8 && text.starts_with("HTTP/1.") && isDigit(text[7]); }

struct StartLine {
    bool request = false;
    std::string method, target;  ///< request
    int status = 0;              ///< response
    std::string reason;
    std::string text;  ///< the whole line, printable
};

/// method SP request-target SP HTTP-version, with a method this reader knows.
std::optional<StartLine> parseRequestLine(std::string_view line) {
    auto sp1 = line.find(' ');
    auto sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 <= sp1 + 1) return std::nullopt;
    auto method = line.substr(0, sp1);
    if (!isHTTPMethod(method)) return std::nullopt;
    if (!isVersion(line.substr(sp2 + 1))) return std::nullopt;
    StartLine s;
    s.request = true;
    s.method = std::string(method);
    s.target = summaryText(line.substr(sp1 + 1, sp2 - sp1 - 1));
    s.text = summaryText(line);
    return s;
}

/// HTTP-version SP 3DIGIT [SP reason-phrase].
std::optional<StartLine> parseStatusLine(std::string_view line) {
    if (line.size() < 12 || !isVersion(line.substr(0, 8)) || line[8] != ' ') return std::nullopt;
    if (!isDigit(line[9]) || !isDigit(line[10]) || !isDigit(line[11])) return std::nullopt;
    if (line.size() > 12 && line[12] != ' ') return std::nullopt;
    StartLine s;
    s.status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    s.reason = summaryText(line.size() > 13 ? line.substr(13) : std::string_view());
    s.text = summaryText(line);
    return s;
}

/// The first line of `all` from `from`, without its line end, when it ends within the head bound.
std::optional<std::string_view> firstLine(std::string_view all, std::size_t from) {
    auto window = all.substr(0, std::min(all.size(), from + kMaxHead));
    auto feed = window.find('\n', from);
    if (feed == std::string_view::npos) return std::nullopt;
    auto line = all.substr(from, feed - from);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

struct Head {
    MIMEHeaders headers;
    std::size_t end = 0;  ///< offset after the empty line (or the direction's end)
    bool complete = false;
    bool tooLong = false;
};

/// The header section after the start line at `from` (RFC 9112 section 5): field lines up to an
/// empty line; obsolete line folding joins a line to the one before with one space.
Head readHead(std::string_view all, std::size_t from) {
    Head head;
    const std::size_t limit = std::min(all.size(), from + kMaxHead);
    auto window = all.substr(0, limit);
    std::size_t at = window.find('\n', from) + 1;  // after the start line, which the caller found
    while (true) {
        auto feed = window.find('\n', at);
        if (feed == std::string_view::npos) {
            head.end = all.size();  // the framing is lost: the rest is this message's
            head.tooLong = limit < all.size();
            return head;
        }
        auto line = all.substr(at, feed - at);
        at = feed + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) {
            head.end = at;
            head.complete = true;
            return head;
        }
        if ((line.front() == ' ' || line.front() == '\t') && !head.headers.empty()) {
            head.headers.back().second += ' ';
            head.headers.back().second += trimmed(line);
            continue;
        }
        auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        head.headers.emplace_back(std::string(trimmed(line.substr(0, colon))), std::string(trimmed(line.substr(colon + 1))));
    }
}

/// Every value of a field, split at commas, trimmed and lower-cased.
std::vector<std::string> listValues(const MIMEHeaders& headers, std::string_view name) {
    std::vector<std::string> out;
    for (const auto& [key, value] : headers) {
        if (!MIMEParser::equalsIgnoringCase(key, name)) continue;
        std::string_view rest = value;
        while (true) {
            auto comma = rest.find(',');
            auto piece = trimmed(rest.substr(0, comma));
            if (!piece.empty()) out.push_back(lowered(piece));
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    }
    return out;
}

/// Content-Length (RFC 9112 section 6.3): every value must be the same run of at most 19 digits.
/// Nothing without the field; -1 when it is invalid.
std::optional<std::int64_t> contentLength(const MIMEHeaders& headers) {
    auto values = listValues(headers, "content-length");
    if (values.empty()) return std::nullopt;
    for (const auto& v : values) {
        if (v != values.front() || v.size() > 18 || !std::all_of(v.begin(), v.end(), isDigit)) return -1;
    }
    return std::stoll(values.front());
}

enum class Framing { none, length, chunked, close };

/// What one direction's bytes hold: HTTP messages one after the other.
class DirectionReader {
public:
    DirectionReader(const TCPStream& stream, Direction direction)
        : stream_(stream), direction_(direction), data_(directionData(stream, direction)) {}

    struct Read {
        StartLine start;
        std::size_t index = 0;  ///< of the message in `messages`
        bool mayUpgrade = false;  ///< a request that asks to leave HTTP (CONNECT, Upgrade)
    };

    /// The next message; `requestMethod` is the method of the request a response answers.
    std::optional<Read> next(std::string_view requestMethod);
    /// The rest of the direction as one `data` message.
    void finishAsData(std::string why) {
        if (pos_ < data_.size())
            messages.push_back(rawDataMessage(stream_, direction_, range(pos_, data_.size()), std::move(why)));
        pos_ = data_.size();
        done = true;
    }

    std::vector<StreamMessage> messages;
    bool done = false;

private:
    static ByteRange range(std::size_t from, std::size_t to) {
        return {static_cast<std::int64_t>(from), static_cast<std::int64_t>(to)};
    }
    bool isRequest() const { return direction_ == Direction::clientToServer; }

    const TCPStream& stream_;
    Direction direction_;
    const Data& data_;
    std::size_t pos_ = 0;
    std::size_t count_ = 0;
};

std::optional<DirectionReader::Read> DirectionReader::next(std::string_view requestMethod) {
    auto all = data_.stringView();
    while (pos_ < all.size() && (all[pos_] == '\r' || all[pos_] == '\n')) ++pos_;  // RFC 9112 section 2.2
    if (done || pos_ >= all.size()) {
        done = true;
        return std::nullopt;
    }
    if (count_ == kMaxMessages) {
        finishAsData("more than " + std::to_string(kMaxMessages) + " messages: the rest is not read");
        return std::nullopt;
    }
    auto line = firstLine(all, pos_);
    std::optional<StartLine> start;
    if (line) start = isRequest() ? parseRequestLine(*line) : parseStatusLine(*line);
    if (!start) {
        finishAsData(isRequest() ? "not an HTTP request" : "not an HTTP response");
        return std::nullopt;
    }
    const std::size_t from = pos_;
    auto head = readHead(all, from);
    std::vector<DetailRow> detail;
    for (std::size_t i = 0; i < head.headers.size() && i < kMaxHeaderRows; ++i)
        detail.push_back({summaryText(head.headers[i].first), summaryText(head.headers[i].second)});
    if (head.headers.size() > kMaxHeaderRows)
        detail.push_back({"More header fields", std::to_string(head.headers.size() - kMaxHeaderRows)});
    auto warn = [&](std::string text) { detail.push_back({"Warning", std::move(text)}); };
    if (head.tooLong) warn("header section longer than " + std::to_string(kMaxHead) + " bytes");
    else if (!head.complete) warn("header section incomplete");

    // Framing (RFC 9112 section 6.3).
    Framing framing = Framing::none;
    std::int64_t length = 0;
    const bool isHead = requestMethod == "HEAD";
    const bool connectDone = requestMethod == "CONNECT" && start->status / 100 == 2;
    const bool noBody = !start->request && (isHead || connectDone || start->status / 100 == 1 || start->status == 204 ||
                                            start->status == 304);
    auto codings = listValues(head.headers, "transfer-encoding");
    if (!head.complete || noBody) {
        framing = Framing::none;
    } else if (!codings.empty()) {
        framing = codings.back() == "chunked" ? Framing::chunked : Framing::close;
    } else if (auto cl = contentLength(head.headers)) {
        if (*cl < 0) {
            warn("invalid Content-Length: the rest of the data is taken as the body");
            framing = Framing::close;
        } else {
            framing = Framing::length;
            length = *cl;
        }
    } else {
        framing = start->request ? Framing::none : Framing::close;
    }

    const std::size_t bodyFrom = head.end;
    std::size_t end = bodyFrom;
    Data body;
    std::vector<std::string> decodedBy;
    switch (framing) {
        case Framing::none: break;
        case Framing::length: {
            const std::size_t available = all.size() - bodyFrom;
            const std::size_t take = static_cast<std::uint64_t>(length) > available ? available : static_cast<std::size_t>(length);
            if (take < static_cast<std::uint64_t>(length))
                warn("body incomplete: " + std::to_string(take) + " of " + std::to_string(length) + " bytes captured");
            end = bodyFrom + take;
            body = data_.slice(bodyFrom, take);
            break;
        }
        case Framing::chunked: {
            auto chunked = dechunk(data_.slice(bodyFrom));
            end = bodyFrom + chunked.consumed;
            body = std::move(chunked.body);
            decodedBy.push_back("chunked");
            if (chunked.problem) warn("chunked body: " + *chunked.problem);
            if (chunked.cut) warn("chunked body cut at " + std::to_string(kMaxDecodedBody) + " bytes");
            break;
        }
        case Framing::close:
            end = all.size();
            body = data_.slice(bodyFrom);
            break;
    }
    const Data wire = data_.slice(bodyFrom, end - bodyFrom);

    // Content codings, the last applied first (RFC 9110 section 8.4).
    auto encodings = listValues(head.headers, "content-encoding");
    for (auto it = encodings.rbegin(); it != encodings.rend() && !body.empty(); ++it) {
        if (*it == "identity") continue;
        const bool gzip = *it == "gzip" || *it == "x-gzip";
        if (!gzip && *it != "deflate") {
            warn("content coding " + summaryText(*it) + " not decoded");
            break;
        }
        bool cut = false;
        auto inflated = inflateBody(body, gzip, kMaxDecodedBody, cut);
        if (!inflated) {
            warn("content coding " + *it + " could not be decoded");
            break;
        }
        if (cut) warn("decoded body cut at " + std::to_string(kMaxDecodedBody) + " bytes");
        body = std::move(*inflated);
        decodedBy.push_back(*it);
    }
    if (!wire.empty()) detail.push_back({"Body", std::to_string(wire.size()) + " bytes"});
    if (!decodedBy.empty()) {
        std::string how;
        for (const auto& d : decodedBy) how += (how.empty() ? "" : ", ") + d;
        detail.push_back({"Decoded body", std::to_string(body.size()) + " bytes (" + how + ")"});
    }

    auto contentType = MIMEParser::headerValue("content-type", head.headers);
    std::optional<StreamBodyHint> hint;
    std::optional<Data> shownBody;
    if (!body.empty()) {
        MIMEPart typed;
        typed.headers = head.headers;
        typed.contentType = MIMEParser::mediaType(contentType.value_or(""));
        hint = contentType ? typed.streamBodyHint() : StreamBodyHint::binary();
        shownBody = body;
    }
    auto filename = MIMEParser::parameter("filename", MIMEParser::headerValue("content-disposition", head.headers));
    auto messageRange = range(from, end);
    Read read{*start, messages.size(), start->request && (start->method == "CONNECT" ||
                                                          MIMEParser::headerValue("upgrade", head.headers).has_value())};
    messages.push_back(placedMessage(stream_, direction_, messageRange,
                                     start->request ? StreamMessageKind::request : StreamMessageKind::reply,
                                     start->text, std::move(detail), std::move(shownBody), std::move(hint), filename));
    if (!body.empty() && contentType && MIMEParser::mediaType(*contentType).starts_with("multipart/")) {
        const auto& placed = messages.back();
        auto leaves = MIMEParser::leafMessages(MIMEParser::parse(head.headers, body), body, direction_, messageRange,
                                               placed.packetIds, placed.timestamp);
        for (auto& leaf : leaves) messages.push_back(std::move(leaf));
    }
    pos_ = end;
    ++count_;
    if (pos_ >= all.size()) done = true;
    return read;
}

}  // namespace

bool HTTPStreamInterpreter::canInterpret(const TCPStream& stream) {
    if (auto line = firstLine(stream.clientToServerData.stringView(), 0); line && parseRequestLine(*line)) return true;
    if (auto line = firstLine(stream.serverToClientData.stringView(), 0); line && parseStatusLine(*line)) return true;
    return false;
}

StreamInterpretation HTTPStreamInterpreter::interpret(const TCPStream& stream) {
    DirectionReader client(stream, Direction::clientToServer), server(stream, Direction::serverToClient);
    std::vector<Exchange> requests, responses;
    std::vector<std::string> methods;  // of `requests`
    bool switched = false;
    while (!switched) {
        // Requests up to one that may leave HTTP: its response decides how the bytes go on.
        while (auto read = client.next({})) {
            requests.push_back({read->index, read->start.method + " " + read->start.target});
            methods.push_back(read->start.method);
            if (read->mayUpgrade) break;
        }
        while (client.done || responses.size() < requests.size()) {
            const bool answers = responses.size() < requests.size();
            auto read = server.next(answers ? std::string_view(methods[responses.size()]) : std::string_view());
            if (!read) break;
            const int status = read->start.status;
            if (status / 100 == 1 && status != 101) continue;  // interim response
            std::string label = std::to_string(status);
            if (!read->start.reason.empty()) label += " " + read->start.reason;
            responses.push_back({read->index, std::move(label)});
            const bool tunnel = status == 101 || (answers && methods[responses.size() - 1] == "CONNECT" && status / 100 == 2);
            if (tunnel) {
                switched = true;
                break;
            }
        }
        if (switched) {
            client.finishAsData("after the switch to another protocol");
            server.finishAsData("after the switch to another protocol");
        }
        if (client.done && server.done) break;
    }

    auto merged = mergeByTime(std::move(client.messages), std::move(server.messages));
    auto pairings = pairInOrder(merged, requests, responses);
    return {std::move(merged.messages), std::move(pairings)};
}

}  // namespace qor::standard::streams
