// qor messages FILE (N | --packet P) [--udp] [--json] [--save-bodies DIR] [--keylog K]...: one
// conversation read as messages (kind, direction, summary, packets, detail rows) and
// request/reply pairings, by the first stream interpreter of the registry that takes it; bodies
// and attachments saved. A TLS conversation whose keys are known (from the capture or --keylog)
// is read as the plaintext it carries.

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "Command.hpp"
#include "Conversations.hpp"
#include "PluginSetup.hpp"
#include "QORModels/streams/QORStreamInterpreter.hpp"
#include "QORModels/tls/TLSDecryptedStreamReading.hpp"
#include "TLSKeys.hpp"

namespace qor::cli {
namespace {

struct Options {
    std::string file;
    ConversationChoice choice;
    bool udp = false;
    bool json = false;
    std::optional<std::string> saveBodies;
    std::vector<std::string> keylogs;
};

/// A conversation read as messages.
struct Reading {
    std::string title;
    std::string protocol;  ///< the interpreter's display name; "UDP" for flows; empty when none took it
    StreamInterpretation result;
};

using Direction = TCPSegment::Direction;

/// A stream no interpreter takes: one `data` message per run of bytes one side sent before the
/// other spoke (the index spans of both directions in time order, then packet order).
StreamInterpretation rawMessages(const TCPStream& stream) {
    struct Span {
        Direction direction;
        const ByteSpan* span;
    };
    std::vector<Span> spans;
    for (const auto& s : stream.clientByteIndex.spans) spans.push_back({Direction::clientToServer, &s});
    for (const auto& s : stream.serverByteIndex.spans) spans.push_back({Direction::serverToClient, &s});
    std::stable_sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
        if (a.span->timestamp != b.span->timestamp) return a.span->timestamp < b.span->timestamp;
        auto first = [](const Span& s) { return s.span->packetIds.empty() ? 0 : s.span->packetIds.front(); };
        return first(a) < first(b);
    });
    StreamInterpretation out;
    for (std::size_t i = 0; i < spans.size();) {
        const auto direction = spans[i].direction;
        // the run: spans of this direction, contiguous in its data
        ByteRange range = spans[i].span->range;
        std::size_t j = i + 1;
        while (j < spans.size() && spans[j].direction == direction && spans[j].span->range.lowerBound == range.upperBound)
            range.upperBound = spans[j++].span->range.upperBound;
        const Data& data = direction == Direction::clientToServer ? stream.clientToServerData : stream.serverToClientData;
        auto location = stream.locate(range, direction);
        out.messages.emplace_back(direction, StreamMessageKind::data, fmt::format("{} bytes", range.count()),
                                  std::vector<DetailRow>{},
                                  data.slice(static_cast<std::size_t>(range.lowerBound), static_cast<std::size_t>(range.count())),
                                  StreamBodyHint::binary(), range, std::move(location.packetIds),
                                  location.timestamp.value_or(stream.startTime), std::nullopt, false);
        i = j;
    }
    return out;
}

/// The conversation asked for, read by the first interpreter that takes it (or as runs of
/// bytes when none does). A TLS conversation that decrypts with the keys at hand is read as its
/// plaintext instead: the protocol is named "NAME over TLS" ("TLS" alone when no interpreter
/// takes the plaintext, which is then shown as runs of bytes), and every message is marked
/// decrypted.
Reading readTCP(const Options& options, CaptureFacts& facts, std::optional<KeyMaterial>& keys) {
    auto found = chooseTCPStream(options.file, options.choice);
    facts = std::move(found.facts);
    auto& chosen = found.chosen;
    if (!chosen) throw noConversation(options.choice, "TCP conversation");
    const TCPStream& stream = chosen->conversation;
    keys = publishKeyMaterial(facts, options.keylogs);
    Reading reading{stream.title(), "", {}};
    auto types = QORStreamInterpreterRegistry::shared().snapshot();
    if (auto tls = TLSDecryptedStreamReading::read(stream, types); tls && tls->decryption.plaintext) {
        if (tls->interpretation) {
            reading.protocol = tls->interpreterName.value_or("data") + " over TLS";
            reading.result = std::move(*tls->interpretation);
        } else {
            reading.protocol = "TLS";
            reading.result = rawMessages(*tls->decryption.plaintext);
            for (auto& message : reading.result.messages) message.isDecrypted = true;
        }
        return reading;
    }
    if (auto interpreter = QORStreamInterpreter::firstInterpreter(stream, types)) {
        reading.protocol = interpreter->streamDisplayName();
        reading.result = interpreter->interpret(stream);
    } else {
        reading.result = rawMessages(stream);
    }
    return reading;
}

Reading readUDP(const Options& options, CaptureFacts& facts) {
    auto found = chooseUDPFlow(options.file, options.choice);
    facts = std::move(found.facts);
    auto& chosen = found.chosen;
    if (!chosen) throw noConversation(options.choice, "UDP flow");
    const UDPFlow& flow = chosen->conversation;
    return {flow.title(), flow.protocolLabel(), {UDPFlowReassembler::messages(flow), UDPFlowReassembler::pairings(flow)}};
}

const char* directionText(Direction d) { return d == Direction::clientToServer ? "client→server" : "server→client"; }

std::string hintText(const std::optional<StreamBodyHint>& hint) {
    if (!hint) return "";
    struct Visitor {
        std::string operator()(const StreamBodyHint::Text& t) const {
            switch (t.encoding) {
                case StringEncoding::utf8: return "text (UTF-8)";
                case StringEncoding::ascii: return "text (ASCII)";
                case StringEncoding::isoLatin1: return "text (ISO Latin 1)";
                case StringEncoding::utf16: return "text (UTF-16)";
            }
            return "text";
        }
        std::string operator()(const StreamBodyHint::Image& i) const { return "image (" + i.subtype + ")"; }
        std::string operator()(const StreamBodyHint::Json&) const { return "json"; }
        std::string operator()(const StreamBodyHint::Html&) const { return "html"; }
        std::string operator()(const StreamBodyHint::Xml&) const { return "xml"; }
        std::string operator()(const StreamBodyHint::Binary&) const { return "binary"; }
    };
    return std::visit(Visitor{}, hint->value());
}

/// The file name extension a body gets when its message names no file.
std::string extensionFor(const std::optional<StreamBodyHint>& hint) {
    auto text = hintText(hint);
    if (text.starts_with("text")) return "txt";
    if (text.starts_with("image (")) return text.substr(7, text.size() - 8);
    if (text == "json" || text == "html" || text == "xml") return text;
    return "bin";
}

/// A capture's file name made safe to create in the folder: its last path component, without
/// control characters; nothing when that leaves no usable name ("", ".", "..").
std::optional<std::string> safeName(const std::string& name) {
    auto slash = name.find_last_of("/\\");
    std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    std::string clean;
    for (unsigned char c : last)
        if (c >= 0x20 && c != 0x7F) clean += static_cast<char>(c);
    while (!clean.empty() && clean.front() == ' ') clean.erase(0, 1);
    if (clean.empty() || clean == "." || clean == ".." || clean.size() > 200) return std::nullopt;
    return clean;
}

/// Writes every non-empty body into `folder` under its message's file name (or
/// "message-INDEX.EXT"), never outside the folder and never over an existing file: a name in use
/// gets "-1", "-2", … before its extension. Gives each saved message's path, by message index.
std::vector<std::optional<std::string>> saveBodies(const StreamInterpretation& result, const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder)) throw CommandFailure(1, "cannot create folder " + folder.string());
    std::vector<std::optional<std::string>> saved(result.messages.size());
    for (std::size_t i = 0; i < result.messages.size(); ++i) {
        const auto& m = result.messages[i];
        if (!m.body || m.body->empty()) continue;
        auto name = m.filename ? safeName(*m.filename) : std::nullopt;
        if (!name) name = fmt::format("message-{}.{}", i, extensionFor(m.bodyHint));
        auto dot = name->find_last_of('.');
        const std::string stem = dot == std::string::npos || dot == 0 ? *name : name->substr(0, dot);
        const std::string ext = dot == std::string::npos || dot == 0 ? "" : name->substr(dot);
        for (int n = 0; n < 10000; ++n) {
            auto path = folder / (n == 0 ? *name : fmt::format("{}-{}{}", stem, n, ext));
            // "x": exclusive creation, so an existing file (or a link planted there) is never written through.
            std::FILE* f = std::fopen(path.c_str(), "wbx");
            if (!f) {
                if (errno == EEXIST) continue;
                throw CommandFailure(1, fmt::format("cannot write {}: {}", path.string(), std::strerror(errno)));
            }
            const bool ok = std::fwrite(m.body->data(), 1, m.body->size(), f) == m.body->size();
            if (std::fclose(f) != 0 || !ok) throw CommandFailure(1, "cannot write " + path.string());
            saved[i] = path.string();
            break;
        }
    }
    return saved;
}

void print(const Reading& reading, const std::vector<std::optional<std::string>>& saved, bool json) {
    const auto& result = reading.result;
    std::string out;
    if (json) {
        nlohmann::ordered_json messages = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < result.messages.size(); ++i) {
            const auto& m = result.messages[i];
            nlohmann::ordered_json detail = nlohmann::ordered_json::array();
            for (const auto& row : m.detail) detail.push_back({{"name", row.name}, {"value", row.value}});
            nlohmann::ordered_json o{{"index", i},
                                     {"kind", rawValue(m.kind)},
                                     {"direction", m.direction == Direction::clientToServer ? "clientToServer" : "serverToClient"},
                                     {"summary", m.summary},
                                     {"packets", m.packetIds},
                                     {"timestamp", m.timestamp},
                                     {"detail", detail}};
            if (m.byteRange) o["byteRange"] = {m.byteRange->lowerBound, m.byteRange->upperBound};
            if (m.body) o["bodyLength"] = m.body->size();
            if (m.bodyHint) o["bodyHint"] = hintText(m.bodyHint);
            if (m.filename) o["filename"] = *m.filename;
            if (saved[i]) o["savedAs"] = *saved[i];
            o["decrypted"] = m.isDecrypted;
            messages.push_back(std::move(o));
        }
        nlohmann::ordered_json doc{{"conversation", reading.title},
                                   {"protocol", reading.protocol.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(reading.protocol)},
                                   {"messages", messages}};
        if (result.pairings) {
            nlohmann::ordered_json pairings = nlohmann::ordered_json::array();
            for (const auto& p : *result.pairings) {
                nlohmann::ordered_json o{{"requestIndex", p.requestIndex}};
                o["replyIndex"] = p.replyIndex ? nlohmann::ordered_json(*p.replyIndex) : nlohmann::ordered_json();
                o["status"] = rawValue(p.status);
                o["summary"] = p.summary;
                pairings.push_back(std::move(o));
            }
            doc["pairings"] = pairings;
        } else {
            doc["pairings"] = nullptr;
        }
        out = doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    } else {
        out = fmt::format("{} ({}), {} messages\n", reading.title, reading.protocol.empty() ? "no interpreter" : reading.protocol,
                          result.messages.size());
        for (std::size_t i = 0; i < result.messages.size(); ++i) {
            const auto& m = result.messages[i];
            std::string packets;
            for (auto id : m.packetIds) packets += (packets.empty() ? "" : ",") + std::to_string(id);
            out += fmt::format("#{} {} {} [{}] {}{}\n", i, rawValue(m.kind), directionText(m.direction), packets, m.summary,
                               m.isDecrypted ? " (decrypted)" : "");
            for (const auto& row : m.detail) out += fmt::format("    {}: {}\n", row.name, row.value);
            if (m.body && !m.body->empty())
                out += fmt::format("    body: {} bytes, {}{}\n", m.body->size(), hintText(m.bodyHint),
                                   m.filename ? ", file " + *m.filename : "");
            if (saved[i]) out += fmt::format("    saved as {}\n", *saved[i]);
        }
        if (result.pairings) {
            out += "Pairings:\n";
            for (const auto& p : *result.pairings)
                out += fmt::format("#{} → {} {}: {}\n", p.requestIndex, p.replyIndex ? "#" + std::to_string(*p.replyIndex) : "-",
                                   rawValue(p.status), p.summary);
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

void run(const Options& options) {
    activateAnalyzers();
    CaptureFacts facts;
    std::optional<KeyMaterial> keys;
    const Reading reading = options.udp ? readUDP(options, facts) : readTCP(options, facts, keys);
    std::vector<std::optional<std::string>> saved(reading.result.messages.size());
    if (options.saveBodies) saved = saveBodies(reading.result, *options.saveBodies);
    print(reading, saved, options.json);
    reportReadIssue(facts);
    if (keys) reportKeyLogIssue(*keys);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* sub = app.add_subcommand("messages", "Read one TCP conversation or UDP flow as messages and request/reply pairings");
    auto options = std::make_shared<Options>();
    sub->add_option("FILE", options->file, "Capture file (pcap or pcapng)")->required();
    auto* index = sub->add_option("N", options->choice.index, "The conversation's number, as qor streams lists it (from 0)");
    auto* packet = sub->add_option("--packet", options->choice.packet, "The conversation that holds this packet (1-based number)");
    index->excludes(packet);
    sub->add_flag("--udp", options->udp, "A UDP flow instead of a TCP conversation");
    sub->add_flag("--json", options->json, "Print one JSON object");
    sub->add_option("--keylog", options->keylogs, "An NSS key-log file to decrypt TLS with besides the capture's own keys; may repeat")->allow_extra_args(false);
    sub->add_option("--save-bodies", options->saveBodies,
                    "Write every body and attachment into this folder under its file name (never outside it, never over a file)");
    sub->callback([options] {
        if (!options->choice.index && !options->choice.packet) throw CommandFailure(2, "messages: give a conversation number N or --packet P");
        run(*options);
    });
}};

}  // namespace
}  // namespace qor::cli
