// qor follow FILE (N | --packet P) [--udp] [--format ascii|hex|raw] [--direction both|client|server]
// [--decrypt [--keylog K]...]: the bytes of one conversation, chunk by chunk, laid out as tshark's
// follow view lays them out; with --decrypt, the TLS application data it carries.

#include <fmt/format.h>

#include <optional>

#include "Command.hpp"
#include "Conversations.hpp"
#include "PluginSetup.hpp"
#include "QORModels/tls/TLSDecryptionProbeRegistry.hpp"
#include "TLSKeys.hpp"

namespace qor::cli {
namespace {

/// Bytes one side sent in one go: a segment's new bytes, or a datagram.
struct Chunk {
    bool fromServer = false;
    Data bytes;
    double timestamp = 0;
    std::int64_t packetId = 0;
};

/// What `qor follow` was asked for.
struct Options {
    std::string file;
    ConversationChoice choice;
    bool udp = false;
    std::string format = "ascii";
    std::string direction = "both";
    bool decrypt = false;
    std::vector<std::string> keylogs;
};

/// A stream's chunks: each direction's spans in stream order, the two directions interleaved by
/// time (then packet number), as the conversation happened.
std::vector<Chunk> chunks(const TCPStream& stream) {
    auto side = [](const Data& data, const ByteToSegmentIndex& index, bool fromServer) {
        std::vector<Chunk> out;
        for (const auto& span : index.spans) {
            out.push_back(Chunk{fromServer, data.slice(static_cast<std::size_t>(span.range.lowerBound),
                                                      static_cast<std::size_t>(span.range.count())),
                                span.timestamp, span.packetIds.empty() ? 0 : span.packetIds.front()});
        }
        return out;
    };
    const auto client = side(stream.clientToServerData, stream.clientByteIndex, false);
    const auto server = side(stream.serverToClientData, stream.serverByteIndex, true);
    std::vector<Chunk> merged;
    merged.reserve(client.size() + server.size());
    std::size_t c = 0, s = 0;
    while (c < client.size() || s < server.size()) {
        const bool takeClient =
            s == server.size() ||
            (c < client.size() && (client[c].timestamp < server[s].timestamp ||
                                   (client[c].timestamp == server[s].timestamp && client[c].packetId < server[s].packetId)));
        merged.push_back(takeClient ? client[c++] : server[s++]);
    }
    return merged;
}

std::vector<Chunk> chunks(const UDPFlow& flow) {
    std::vector<Chunk> out;
    for (const auto& d : flow.datagrams)
        out.push_back(Chunk{d.direction == TCPSegment::Direction::serverToClient, d.payload, d.timestamp, d.id});
    return out;
}

/// The TLS application data of conversation `number`, each record's plaintext one span of its
/// direction (so one chunk); fails (status 1) with the probe's reason when it does not decrypt.
TCPStream decrypted(const TCPStream& stream, std::int64_t number) {
    auto decrypter = TLSDecryptionProbeRegistry::shared().currentDecrypter();
    if (!decrypter) throw noTLSProbe();
    TLSDecryption decryption = decrypter->decrypt(stream);
    if (!decryption.plaintext)
        throw CommandFailure(1, fmt::format("TCP conversation {} was not decrypted: {}", number, decryption.outcome.description()));
    return std::move(*decryption.plaintext);
}

char printable(std::uint8_t byte) { return byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.'; }

/// tshark's layouts: raw is one line of hex per chunk; ascii a line with the chunk's length,
/// then its bytes with every non-printable byte but carriage returns and line feeds shown as
/// "."; hex 16 bytes a line with each direction's running offset, without trailing blanks.
/// Server chunks are indented by a tab.
void appendChunk(std::string& out, const Chunk& chunk, const std::string& format, std::size_t& offset) {
    const std::string indent = chunk.fromServer ? "\t" : "";
    if (format == "raw") {
        out += indent;
        for (std::byte b : chunk.bytes) fmt::format_to(std::back_inserter(out), "{:02x}", static_cast<unsigned>(b));
        out += '\n';
        return;
    }
    if (format == "ascii") {
        out += indent + std::to_string(chunk.bytes.size()) + '\n';
        for (std::byte b : chunk.bytes) {
            const auto v = static_cast<std::uint8_t>(b);
            out += v == '\n' || v == '\r' ? static_cast<char>(v) : printable(v);
        }
        out += '\n';
        return;
    }
    const std::size_t size = chunk.bytes.size();
    for (std::size_t line = 0; line < size; line += 16) {
        out += indent;
        fmt::format_to(std::back_inserter(out), "{:08X}  ", offset + line);
        std::string text;
        for (std::size_t i = 0; i < 16; ++i) {
            if (line + i < size) {
                fmt::format_to(std::back_inserter(out), "{:02x} ", chunk.bytes[line + i]);
                text += printable(chunk.bytes[line + i]);
                if (i == 7) text += ' ';
            } else {
                out += "   ";
            }
            if (i == 7) out += ' ';
        }
        out += ' ';
        out += text;
        while (out.back() == ' ') out.pop_back();
        out += '\n';
    }
    offset += size;
}

void run(const Options& options) {
    if (options.format != "ascii" && options.format != "hex" && options.format != "raw")
        throw CommandFailure(2, "unknown format \"" + options.format + "\" (ascii, hex or raw)");
    if (options.direction != "both" && options.direction != "client" && options.direction != "server")
        throw CommandFailure(2, "unknown direction \"" + options.direction + "\" (both, client or server)");
    if (options.decrypt && options.udp) throw CommandFailure(2, "follow: --decrypt follows TLS over a TCP conversation, not a UDP flow");
    if (!options.keylogs.empty() && !options.decrypt) throw CommandFailure(2, "follow: --keylog needs --decrypt");
    activateAnalyzers();
    const char* kind = options.udp ? "udp" : options.decrypt ? "tls" : "tcp";
    std::optional<KeyMaterial> keys;

    // The header names the ends as tshark does: an IPv6 address in brackets before its port.
    auto node = [](const TCPStreamKey::Endpoint& end) {
        return end.ip.find(':') == std::string::npos ? endpointText(end) : "[" + end.ip + "]:" + std::to_string(end.port);
    };
    std::int64_t number = 0;
    std::vector<Chunk> all;
    std::string client, server;
    CaptureFacts facts;
    auto take = [&](auto found) {
        facts = std::move(found.facts);
        auto& chosen = found.chosen;
        if (!chosen) throw noConversation(options.choice, options.udp ? "UDP conversation" : "TCP conversation");
        number = chosen->number;
        if (options.decrypt) keys = publishKeyMaterial(facts, options.keylogs);
        if constexpr (std::is_same_v<decltype(chosen->conversation), TCPStream>)
            all = options.decrypt ? chunks(decrypted(chosen->conversation, number)) : chunks(chosen->conversation);
        else
            all = chunks(chosen->conversation);
        client = node(chosen->conversation.clientEndpoint);
        server = node(chosen->conversation.serverEndpoint);
    };
    if (options.udp) take(chooseUDPFlow(options.file, options.choice));
    else take(chooseTCPStream(options.file, options.choice));

    const std::string rule(67, '=');
    std::string out = fmt::format("\n{}\nFollow: {},{}\nFilter: {}.stream eq {}\nNode 0: {}\nNode 1: {}\n", rule, kind, options.format,
                                  options.udp ? "udp" : "tcp", number, client, server);
    std::size_t clientOffset = 0, serverOffset = 0;
    for (const auto& chunk : all) {
        if ((options.direction == "client" && chunk.fromServer) || (options.direction == "server" && !chunk.fromServer)) continue;
        appendChunk(out, chunk, options.format, chunk.fromServer ? serverOffset : clientOffset);
    }
    out += rule + '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    reportReadIssue(facts);
    if (keys) reportKeyLogIssue(*keys);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* sub = app.add_subcommand("follow", "Print the assembled bytes of one TCP conversation or UDP flow, as tshark's follow does");
    auto options = std::make_shared<Options>();
    sub->add_option("FILE", options->file, "Capture file (pcap or pcapng)")->required();
    auto* index = sub->add_option("N", options->choice.index, "The conversation's number, as qor streams lists it (from 0)");
    auto* packet = sub->add_option("--packet", options->choice.packet, "Follow the conversation that holds this packet (1-based number)");
    index->excludes(packet);
    sub->add_flag("--udp", options->udp, "Follow a UDP flow instead of a TCP conversation");
    sub->add_option("--format", options->format, "ascii (default), hex, or raw (tshark's follow,tcp,raw layout)");
    sub->add_option("--direction", options->direction, "both (default), client (client to server only) or server");
    sub->add_flag("--decrypt", options->decrypt, "Follow the decrypted TLS application data (keys from the capture and --keylog)");
    sub->add_option("--keylog", options->keylogs, "An NSS key-log file to decrypt with besides the capture's own keys; may repeat")->allow_extra_args(false);
    sub->callback([options] {
        if (!options->choice.index && !options->choice.packet) throw CommandFailure(2, "follow: give a conversation number N or --packet P");
        run(*options);
    });
}};

}  // namespace
}  // namespace qor::cli
