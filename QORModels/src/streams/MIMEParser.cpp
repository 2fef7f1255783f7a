#include "QORModels/streams/MIMEParser.hpp"

#include <algorithm>
#include <vector>

#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/streams/MailTransport.hpp"

namespace qor::MIMEParser {
namespace {

/// Standard base64 that skips every character outside the alphabet and stops at the first "=".
/// Fails when the characters read leave a single dangling one (no whole byte in it). At most
/// `budget` bytes are written; `cut` says whether more would have followed.
std::optional<std::vector<std::byte>> decodeBase64(std::string_view text, std::size_t budget, bool& cut) {
    std::vector<std::byte> out;
    out.reserve(std::min(budget, text.size() / 4 * 3 + 3));
    unsigned acc = 0;
    int bits = 0;
    std::size_t symbols = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else if (c == '=') break;
        else continue;
        ++symbols;
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (out.size() == budget) {
                cut = true;
                return out;
            }
            out.push_back(static_cast<std::byte>((acc >> bits) & 0xFF));
        }
    }
    if (symbols % 4 == 1) return std::nullopt;
    return out;
}

/// Quoted-printable (RFC 2045 section 6.7): soft line breaks removed, "=XX" decoded, any other
/// "=" kept as it is.
std::vector<std::byte> decodeQuotedPrintable(std::string_view text, std::size_t budget, bool& cut) {
    std::vector<std::byte> out;
    out.reserve(std::min(budget, text.size()));
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (out.size() == budget) {
            cut = true;
            break;
        }
        char c = text[i];
        if (c == '=') {
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                i += 1;
                continue;
            }
            if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') {
                i += 2;
                continue;
            }
            if (i + 2 < text.size()) {
                int high = hexDigitValue(text[i + 1]), low = hexDigitValue(text[i + 2]);
                if (high >= 0 && low >= 0) {
                    out.push_back(static_cast<std::byte>(high * 16 + low));
                    i += 2;
                    continue;
                }
            }
        }
        out.push_back(static_cast<std::byte>(c));
    }
    return out;
}

struct Parser {
    const MIMELimits& limits;
    MIMEParseResult result;
    std::size_t decoded = 0;
    bool depthNoted = false, leavesNoted = false, sizeNoted = false;

    void note(bool& noted, std::string text) {
        if (noted) return;
        noted = true;
        result.limitNotes.push_back(std::move(text));
    }

    void addLeaf(MIMEPart part) {
        if (result.parts.size() >= limits.maxLeaves) {
            note(leavesNoted, "parts after the first " + std::to_string(limits.maxLeaves) + " not read");
            return;
        }
        result.parts.push_back(std::move(part));
    }

    Data decodedBody(const Data& body, const std::string& encoding) {
        if (encoding != "base64" && encoding != "quoted-printable") return body;
        const std::size_t budget = limits.maxDecodedBytes - std::min(decoded, limits.maxDecodedBytes);
        bool cut = false;
        std::optional<std::vector<std::byte>> bytes;
        if (encoding == "base64") {
            bytes = decodeBase64(body.stringView(), budget, cut);
            if (!bytes) return body;
        } else {
            bytes = decodeQuotedPrintable(body.stringView(), budget, cut);
        }
        if (cut)
            note(sizeNoted, "decoded bodies cut at " + std::to_string(limits.maxDecodedBytes) + " bytes in total");
        decoded += bytes->size();
        return Data(std::move(*bytes));
    }

    /// The body's parts between "--boundary" delimiters (RFC 2046 section 5.1.1), each without the
    /// rest of its delimiter line and without the line break before the next delimiter.
    static std::vector<Data> bodyParts(const Data& body, std::string_view boundary) {
        std::vector<Data> parts;
        const std::string delimiter = "--" + std::string(boundary);
        auto all = body.stringView();
        std::vector<std::size_t> at;
        for (auto p = all.find(delimiter); p != std::string_view::npos; p = all.find(delimiter, p + delimiter.size()))
            at.push_back(p);
        for (std::size_t i = 0; i + 1 < at.size(); ++i) {
            const std::size_t from = at[i] + delimiter.size(), to = at[i + 1];
            auto feed = all.find('\n', from);
            if (feed == std::string_view::npos || feed >= to) continue;
            std::size_t start = feed + 1, end = to;
            if (end > start && all[end - 1] == '\n') {
                --end;
                if (end > start && all[end - 1] == '\r') --end;
            }
            parts.push_back(body.slice(start, end - start));
        }
        return parts;
    }

    void parseEntity(const Data& data, std::size_t depth) {
        if (result.parts.size() >= limits.maxLeaves) {
            note(leavesNoted, "parts after the first " + std::to_string(limits.maxLeaves) + " not read");
            return;
        }
        auto all = data.stringView();
        Data headerBytes, body = data;
        if (auto crlf = all.find("\r\n\r\n"); crlf != std::string_view::npos) {
            headerBytes = data.slice(0, crlf);
            body = data.slice(crlf + 4);
        } else if (auto lf = all.find("\n\n"); lf != std::string_view::npos) {
            headerBytes = data.slice(0, lf);
            body = data.slice(lf + 2);
        }
        parsePart(parseHeaders(headerBytes), body, depth);
    }

    void parsePart(MIMEHeaders headers, const Data& body, std::size_t depth) {
        MIMEPart part;
        part.headers = std::move(headers);
        auto contentTypeValue = headerValue("content-type", part.headers);
        part.contentType = mediaType(contentTypeValue.value_or("text/plain"));

        if (part.contentType.starts_with("multipart/")) {
            auto boundary = parameter("boundary", contentTypeValue);
            if (boundary && !boundary->empty() && boundary->size() <= limits.maxBoundaryLength) {
                if (depth >= limits.maxDepth) {
                    note(depthNoted, "multipart nesting deeper than " + std::to_string(limits.maxDepth) +
                                         " levels kept as one part");
                } else {
                    const std::size_t before = result.parts.size();
                    for (const auto& piece : bodyParts(body, *boundary)) parseEntity(piece, depth + 1);
                    if (result.parts.size() > before || leavesNoted) return;
                }
            }
        }

        auto encoding = lowered(trimmed(headerValue("content-transfer-encoding", part.headers).value_or("")));
        part.body = decodedBody(body, encoding);
        part.filename = parameter("filename", headerValue("content-disposition", part.headers));
        if (!part.filename) part.filename = parameter("name", contentTypeValue);
        addLeaf(std::move(part));
    }
};

}  // namespace

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

MIMEHeaders parseHeaders(const Data& headerBytes) {
    MIMEHeaders headers;
    const std::string text = MailTransport::latin1Text(headerBytes.stringView());
    std::vector<std::string> lines;
    std::string_view rest = text;
    while (true) {
        auto feed = rest.find('\n');
        std::string_view line = rest.substr(0, feed);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) {
            if ((line.front() == ' ' || line.front() == '\t') && !lines.empty()) {
                lines.back() += ' ';
                lines.back() += trimmed(line);
            } else {
                lines.emplace_back(line);
            }
        }
        if (feed == std::string_view::npos) break;
        rest.remove_prefix(feed + 1);
    }
    for (const auto& line : lines) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string_view view = line;
        headers.emplace_back(std::string(trimmed(view.substr(0, colon))), std::string(trimmed(view.substr(colon + 1))));
    }
    return headers;
}

std::vector<MIMEPart> parseLeafParts(const Data& data) { return parse(data).parts; }

MIMEParseResult parse(const MIMEHeaders& headers, const Data& body, const MIMELimits& limits) {
    Parser parser{limits, {}};
    parser.parsePart(headers, body, 0);
    return std::move(parser.result);
}

MIMEParseResult parse(const Data& data, const MIMELimits& limits) {
    if (data.empty()) return {};
    Parser parser{limits, {}};
    parser.parseEntity(data, 0);
    return std::move(parser.result);
}

std::optional<std::string> headerValue(std::string_view name, const MIMEHeaders& headers) {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name)) return value;
    return std::nullopt;
}

std::string mediaType(std::string_view value) { return lowered(trimmed(value.substr(0, value.find(';')))); }

std::optional<std::string> parameter(std::string_view name, const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    std::string_view rest = *value;
    while (!rest.empty()) {
        auto semicolon = rest.find(';');
        std::string_view piece = rest.substr(0, semicolon);
        rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
        auto equals = piece.find('=');
        if (piece.empty() || equals == std::string_view::npos) continue;
        if (!equalsIgnoringCase(trimmed(piece.substr(0, equals)), name)) continue;
        auto found = trimmed(piece.substr(equals + 1));
        if (found.size() >= 2 && found.front() == '"' && found.back() == '"') found = found.substr(1, found.size() - 2);
        return std::string(found);
    }
    return std::nullopt;
}

}  // namespace qor::MIMEParser
