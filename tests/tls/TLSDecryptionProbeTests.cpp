// The standard plug-in's TLS decryption probe, loaded by the plug-in controller, against tshark's
// decryption of the fixture captures and against sessions encrypted here with OpenSSL.
//
// Expected plaintext: tests/fixtures/expected/tls-follow/<capture>-<stream>.txt, each the output
// of the tshark command in its first line (`-z follow,tls,raw,N`). The frames that carry
// application data: tests/fixtures/expected/tls-follow/app-data-frames.tsv (tshark -Y tls.app_data).

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "AnalyzerHarness.hpp"
#include "PlugInPackets.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/tls/TLSDecryptionProbeRegistry.hpp"
#include "QORModels/tls/TLSKeyIndex.hpp"
#include "StreamCaptures.hpp"
#include "TLSSessionWriter.hpp"
#include "support/Fixtures.hpp"

namespace qor {

void PrintTo(const TLSDecryptionOutcome& outcome, std::ostream* out) { *out << outcome.description(); }

namespace {

using Direction = TCPSegment::Direction;
using test::tls::Octets;
constexpr auto toServer = Direction::clientToServer;
constexpr auto toClient = Direction::serverToClient;

/// Publishes the key-log text as the current key index, as the application does with its files.
void publishKeys(std::string_view text) {
    auto index = std::make_shared<TLSKeyIndex>();
    for (auto& entry : KeylogEntry::parse(text, KeylogSource::userFile("test.keys"))) index->add(std::move(entry));
    TLSKeyIndex::publish(std::move(index));
}
void publishKeyFile(std::string_view name) { publishKeys(test::readFile(test::capturePath(name)).stringView()); }

std::shared_ptr<const TLSStreamDecrypting> decrypter() {
    test::activatePlugInsOnce();
    auto found = TLSDecryptionProbeRegistry::shared().currentDecrypter();
    if (!found) throw std::runtime_error("the standard plug-in registered no decrypter");
    return found;
}

const std::vector<TCPStream>& streamsOf(const std::string& capture) {
    static std::map<std::string, std::vector<TCPStream>> cache;
    auto [it, added] = cache.try_emplace(capture);
    if (added) it->second = TCPStreamReassembler::reassembleAllOffMain(test::snapshotsOf(capture));
    return it->second;
}

TLSDecryptionOutcome failure(TLSDecryptionFailure f) { return TLSDecryptionOutcome::notDecrypted(f); }

/// Each direction's bytes as tshark's `follow,tls,raw` shows them: lines of hex, those of the
/// second node indented by a tab; "Node 0:" names the first node's address and port.
struct FollowedPlaintext {
    std::string client, server;
};
FollowedPlaintext followed(const std::string& file, const TCPStream& stream) {
    std::ifstream in(test::fixturePath("expected/tls-follow/" + file));
    if (!in) throw std::runtime_error("missing " + file);
    std::string line, first, second;
    std::uint16_t firstPort = 0;
    while (std::getline(in, line)) {
        if (line.rfind("Node 0: ", 0) == 0) firstPort = static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
        const bool indented = !line.empty() && line[0] == '\t';
        const std::string hex = indented ? line.substr(1) : line;
        if (hex.empty() || hex.size() % 2 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
        for (std::size_t i = 0; i < hex.size(); i += 2)
            (indented ? second : first) += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    if (firstPort == stream.clientEndpoint.port) return {first, second};
    return {second, first};
}

/// The frames tshark saw carrying application data, by capture, stream and sending port.
std::set<std::int64_t> appDataFrames(const std::string& capture, int stream, std::uint16_t port) {
    std::set<std::int64_t> frames;
    for (const auto& row : test::readExpectedRows("tls-follow/app-data-frames.tsv", 4))
        if (row[0] == capture && std::stoi(row[1]) == stream && std::stoi(row[3]) == port) frames.insert(std::stoll(row[2]));
    return frames;
}

/// A byte index covers its data exactly: ascending, contiguous, non-empty spans.
void expectCovers(const ByteToSegmentIndex& index, const Data& data) {
    std::int64_t at = 0;
    for (const auto& span : index.spans) {
        EXPECT_EQ(span.range.lowerBound, at);
        EXPECT_GT(span.range.count(), 0);
        EXPECT_FALSE(span.packetIds.empty());
        at = span.range.upperBound;
    }
    EXPECT_EQ(at, static_cast<std::int64_t>(data.size()));
}

std::set<std::int64_t> packetsOf(const ByteToSegmentIndex& index) {
    std::set<std::int64_t> ids;
    for (const auto& span : index.spans) ids.insert(span.packetIds.begin(), span.packetIds.end());
    return ids;
}

struct CaptureCase {
    std::string capture, keys;
    int stream;
    std::string followFile;
};
const std::vector<CaptureCase> captureCases = {
    {"tls_nss_example.pcap", "tls_nss_example.keys.txt", 0, "tls_nss_example-0.txt"},  // TLS 1.2, 0xc030
    {"tls_nss_example.pcap", "tls_nss_example.keys.txt", 1, "tls_nss_example-1.txt"},  // TLS 1.3, 0x1302
    {"illustrated-tls12-dsb.pcapng", "illustrated-tls12-keylog.txt", 0, "illustrated-tls12-dsb-0.txt"},  // 0xc013
};

TEST(TLSDecryptionProbeCaptures, PlaintextEqualsTsharksAndLeadsToTheCarryingFrames) {
    for (const auto& c : captureCases) {
        SCOPED_TRACE(c.followFile);
        publishKeyFile(c.keys);
        const auto& stream = streamsOf(c.capture).at(static_cast<std::size_t>(c.stream));
        EXPECT_EQ(decrypter()->probe(stream), TLSDecryptionOutcome::decrypted());
        const auto decryption = decrypter()->decrypt(stream);
        ASSERT_EQ(decryption.outcome, TLSDecryptionOutcome::decrypted());
        ASSERT_TRUE(decryption.plaintext);
        const auto& plain = *decryption.plaintext;
        const auto expected = followed(c.followFile, stream);
        EXPECT_EQ(plain.clientToServerData.toString(), expected.client);
        EXPECT_EQ(plain.serverToClientData.toString(), expected.server);
        expectCovers(plain.clientByteIndex, plain.clientToServerData);
        expectCovers(plain.serverByteIndex, plain.serverToClientData);
        EXPECT_EQ(packetsOf(plain.clientByteIndex), appDataFrames(c.capture, c.stream, stream.clientEndpoint.port));
        EXPECT_EQ(packetsOf(plain.serverByteIndex), appDataFrames(c.capture, c.stream, stream.serverEndpoint.port));
        // The rest of the stream is the ciphertext stream's.
        EXPECT_EQ(plain.key, stream.key);
        EXPECT_EQ(plain.clientEndpoint, stream.clientEndpoint);
        EXPECT_EQ(plain.segments.size(), stream.segments.size());
        EXPECT_EQ(plain.startTime, stream.startTime);
        EXPECT_EQ(plain.endTime, stream.endTime);
    }
}

/// The key text with the last hex digit of each line's secret changed (comments kept).
std::string withFlippedSecrets(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty() && line[0] != '#') line.back() = line.back() == '0' ? '1' : '0';
        out += line + "\n";
    }
    return out;
}

TEST(TLSDecryptionProbeCaptures, WrongMissingOrPartialKeysSayWhy) {
    for (const auto& c : captureCases) {
        SCOPED_TRACE(c.followFile);
        const auto& stream = streamsOf(c.capture).at(static_cast<std::size_t>(c.stream));
        const std::string keys = test::readFile(test::capturePath(c.keys)).toString();

        publishKeys(withFlippedSecrets(keys));
        EXPECT_EQ(decrypter()->probe(stream), failure(TLSDecryptionFailure::keyMismatch));
        const auto decryption = decrypter()->decrypt(stream);
        EXPECT_EQ(decryption.outcome, failure(TLSDecryptionFailure::keyMismatch));
        EXPECT_FALSE(decryption.plaintext);

        // A wrong line for the session before the right one: the right one is found.
        publishKeys(withFlippedSecrets(keys) + keys);
        EXPECT_EQ(decrypter()->probe(stream), TLSDecryptionOutcome::decrypted());

        publishKeys("");
        EXPECT_EQ(decrypter()->probe(stream), failure(TLSDecryptionFailure::noKeyMaterial));
    }
    // TLS 1.3 with the handshake secrets only, or a master secret of the wrong length.
    std::string handshakeOnly;
    std::istringstream lines(test::readFile(test::capturePath("tls_nss_example.keys.txt")).toString());
    for (std::string line; std::getline(lines, line);)
        if (line.find("HANDSHAKE") != std::string::npos) handshakeOnly += line + "\n";
    publishKeys(handshakeOnly);
    EXPECT_EQ(decrypter()->probe(streamsOf("tls_nss_example.pcap").at(1)), failure(TLSDecryptionFailure::noKeyMaterial));
    std::string keylog = test::readFile(test::capturePath("illustrated-tls12-keylog.txt")).toString();
    publishKeys(keylog.substr(0, keylog.find_last_not_of("\r\n") - 1) + "\n");  // one hex digit short
    EXPECT_EQ(decrypter()->probe(streamsOf("illustrated-tls12-dsb.pcapng").at(0)), failure(TLSDecryptionFailure::noKeyMaterial));
}

// Sessions written here -------------------------------------------------------------------------

using test::tls::TLSSessionWriter;

/// A stream of the given segments, one packet each, numbered from 1 at one-second steps.
TCPStream streamOf(const std::vector<std::pair<Direction, Octets>>& segments) {
    std::vector<test::Sent> sent;
    for (const auto& [direction, bytes] : segments)
        sent.push_back({direction, bytes, static_cast<double>(sent.size() + 1), static_cast<std::int64_t>(sent.size() + 1)});
    return test::streamOf(sent, 443);
}

using Segments = std::vector<std::pair<Direction, Octets>>;

/// The hellos and both Finished flights of `session`, as segments; records sealed afterwards
/// follow them.
Segments handshakeOf(TLSSessionWriter& session) {
    Segments segments = {{toServer, session.clientHello()}};
    if (session.isTLS13()) {
        segments.push_back({toClient, session.serverHello() + session.finishedFlight(false)});
        segments.push_back({toServer, session.finishedFlight(true)});
    } else {
        segments.push_back({toClient, session.serverHello()});
        segments.push_back({toServer, session.finishedFlight(true)});
        segments.push_back({toClient, session.finishedFlight(false)});
    }
    return segments;
}

std::vector<ByteRange> rangesOf(const ByteToSegmentIndex& index) {
    std::vector<ByteRange> ranges;
    for (const auto& span : index.spans) ranges.push_back(span.range);
    return ranges;
}

TEST(TLSDecryptionProbeSessions, EverySuiteFamilyDecryptsToItsApplicationData) {
    for (unsigned suite : {0xc02fu, 0xc030u, 0xcca8u, 0xc013u, 0x003cu, 0xc028u, 0x1301u, 0x1302u, 0x1303u}) {
        SCOPED_TRACE(testing::Message() << std::hex << suite);
        TLSSessionWriter session(suite);
        publishKeys(session.keyLog());
        Segments segments = handshakeOf(session);
        const Octets request = "GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n";
        Octets body;
        for (int i = 0; i < 700; ++i) body += static_cast<char>(i * 7);
        segments.push_back({toServer, session.sealed(true, request)});
        // Two records in one segment, then one record split over two segments, an empty
        // record, and an alert that is not application data.
        // (Records are sealed one statement at a time: their sequence numbers follow that order.)
        Octets twoRecords = session.sealed(false, body.substr(0, 100));
        twoRecords += session.sealed(false, body.substr(100, 200));
        const Octets split = session.sealed(false, body.substr(300), 23, session.isTLS13() ? 40 : 0);
        segments.push_back({toClient, twoRecords});
        segments.push_back({toClient, split.substr(0, 50)});
        segments.push_back({toClient, split.substr(50) + session.sealed(false, "")});
        segments.push_back({toServer, session.sealed(true, "\x01\x00", 21)});
        const std::int64_t firstData = session.isTLS13() ? 4 : 5;  // the request's packet
        const TCPStream stream = streamOf(segments);

        EXPECT_EQ(decrypter()->probe(stream), TLSDecryptionOutcome::decrypted());
        const auto decryption = decrypter()->decrypt(stream);
        ASSERT_EQ(decryption.outcome, TLSDecryptionOutcome::decrypted());
        const auto& plain = *decryption.plaintext;
        EXPECT_EQ(plain.clientToServerData.toString(), request);
        EXPECT_EQ(plain.serverToClientData.toString(), body);
        EXPECT_EQ(rangesOf(plain.serverByteIndex), (std::vector<ByteRange>{{0, 100}, {100, 300}, {300, 700}}));
        ASSERT_EQ(plain.serverByteIndex.spans.size(), 3u);
        EXPECT_EQ(plain.clientByteIndex.spans.at(0).packetIds, (std::vector<std::int64_t>{firstData}));
        EXPECT_EQ(plain.serverByteIndex.spans[0].packetIds, (std::vector<std::int64_t>{firstData + 1}));
        EXPECT_EQ(plain.serverByteIndex.spans[1].packetIds, (std::vector<std::int64_t>{firstData + 1}));
        EXPECT_EQ(plain.serverByteIndex.spans[2].packetIds, (std::vector<std::int64_t>{firstData + 2, firstData + 3}));
        EXPECT_EQ(plain.serverByteIndex.spans[2].timestamp, static_cast<double>(firstData + 2));
    }
}

TEST(TLSDecryptionProbeSessions, ARecordThatDoesNotAuthenticateFailsTheSession) {
    // Which sealed record of the server (0 = its first application data) gets one bit flipped,
    // and what the probe and decrypt make of it.
    struct Case {
        unsigned suite;
        int corrupted;
        TLSDecryptionOutcome probe, decrypt;
    };
    const auto mismatch = failure(TLSDecryptionFailure::keyMismatch);
    const auto later = failure(TLSDecryptionFailure::recordDecryptionFailed);
    const auto ok = TLSDecryptionOutcome::decrypted();
    for (const auto& c : {Case{0xc02f, 0, mismatch, mismatch}, Case{0xc02f, 2, ok, later}, Case{0xcca8, 0, mismatch, mismatch},
                          Case{0x003c, 1, ok, later}, Case{0xc013, 0, mismatch, mismatch}, Case{0x1303, 0, mismatch, mismatch},
                          Case{0x1301, 2, ok, later}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.suite << " record " << c.corrupted);
        TLSSessionWriter session(c.suite);
        publishKeys(session.keyLog());
        Segments segments = handshakeOf(session);
        segments.push_back({toServer, session.sealed(true, "hello")});
        for (int k = 0; k < 3; ++k) {
            Octets record = session.sealed(false, "reply part " + std::to_string(k));
            if (k == c.corrupted) record[record.size() - 1] = static_cast<char>(record.back() ^ 0x01);
            segments.push_back({toClient, record});
        }
        const TCPStream stream = streamOf(segments);
        EXPECT_EQ(decrypter()->probe(stream), c.probe);
        const auto decryption = decrypter()->decrypt(stream);
        EXPECT_EQ(decryption.outcome, c.decrypt);
        EXPECT_FALSE(decryption.plaintext);
    }
}

TEST(TLSDecryptionProbeSessions, TLS13TicketsAndKeyUpdatesAreFollowedNotShown) {
    TLSSessionWriter session(0x1301);
    publishKeys(session.keyLog());
    Segments segments = handshakeOf(session);
    segments.push_back({toClient, session.sealed(false, test::tls::handshakeMessage(4, Octets(20, 't')), 22)});
    segments.push_back({toServer, session.sealed(true, "before ")});
    segments.push_back({toServer, session.keyUpdate(true)});
    segments.push_back({toServer, session.sealed(true, "after")});
    segments.push_back({toClient, session.sealed(false, "answer")});
    Octets updateThenData = session.keyUpdate(false);
    updateThenData += session.sealed(false, " again");
    segments.push_back({toClient, updateThenData});
    const auto decryption = decrypter()->decrypt(streamOf(segments));
    ASSERT_EQ(decryption.outcome, TLSDecryptionOutcome::decrypted());
    EXPECT_EQ(decryption.plaintext->clientToServerData.toString(), "before after");
    EXPECT_EQ(decryption.plaintext->serverToClientData.toString(), "answer again");
}

TEST(TLSDecryptionProbeSessions, HandshakesItCannotUseAreNamed) {
    TLSSessionWriter tls12(0xc02f);
    const Octets random = tls12.clientRandom();
    const Octets hello = tls12.clientHello();
    publishKeys(tls12.keyLog());
    using test::tls::serverHello;
    struct Case {
        const char* name;
        Segments segments;
        TLSDecryptionFailure failure;
    };
    const Octets serverRandom(32, 'S');
    const std::vector<Case> cases = {
        {"no TLS at all", {{toServer, "GET / HTTP/1.1\r\n\r\n"}, {toClient, "HTTP/1.1 200 OK\r\n\r\n"}}, TLSDecryptionFailure::noHandshake},
        {"no ServerHello", {{toServer, hello}}, TLSDecryptionFailure::noHandshake},
        {"a ClientHello cut short", {{toServer, hello.substr(0, 30)}, {toClient, serverHello(serverRandom, 0xc02f, 0x0303)}},
         TLSDecryptionFailure::noHandshake},
        {"TLS 1.0", {{toServer, hello}, {toClient, serverHello(serverRandom, 0xc013, 0x0301)}}, TLSDecryptionFailure::unsupportedVersion},
        {"a 3DES suite", {{toServer, hello}, {toClient, serverHello(serverRandom, 0x000a, 0x0303)}}, TLSDecryptionFailure::unsupportedVersion},
        {"a TLS 1.3 suite under TLS 1.2", {{toServer, hello}, {toClient, serverHello(serverRandom, 0x1301, 0x0303)}},
         TLSDecryptionFailure::unsupportedVersion},
        {"a draft TLS 1.3", {{toServer, hello}, {toClient, serverHello(serverRandom, 0x1301, 0x0303, 0x7f1c)}},
         TLSDecryptionFailure::unsupportedVersion},
        {"a session the key log does not know",
         {{toServer, test::tls::clientHello(Octets(32, 'C'), 0xc02f, false)}, {toClient, serverHello(serverRandom, 0xc02f, 0x0303)}},
         TLSDecryptionFailure::noKeyMaterial},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TCPStream stream = streamOf(c.segments);
        EXPECT_EQ(decrypter()->probe(stream), failure(c.failure));
        EXPECT_EQ(decrypter()->decrypt(stream).outcome, failure(c.failure));
    }
    // The hello split over two records and two segments, the ServerHello after a
    // HelloRetryRequest: still the session the key log names.
    TLSSessionWriter tls13(0x1303);
    publishKeys(tls13.keyLog());
    const Octets clientHello = tls13.clientHello();
    const Octets message = clientHello.substr(5);
    const Octets splitHello = test::tls::record(22, message.substr(0, 40)) + test::tls::record(22, message.substr(40));
    const Octets retryRandom = "\xCF\x21\xAD\x74\xE5\x9A\x61\x11\xBE\x1D\x8C\x02\x1E\x65\xB8\x91\xC2\xA2\x11\x16\x7A\xBB\x8C\x5E\x07\x9E\x09\xE2\xC8\xA8\x33\x9C";
    Segments segments = {{toServer, splitHello.substr(0, 20)}, {toServer, splitHello.substr(20)}};
    segments.push_back({toClient, serverHello(retryRandom, 0x1303, 0x0303, 0x0304) + test::tls::changeCipherSpec()});
    segments.push_back({toServer, test::tls::changeCipherSpec() + clientHello});
    segments.push_back({toClient, tls13.serverHello() + tls13.finishedFlight(false)});
    Octets finishedThenData = tls13.finishedFlight(true);
    finishedThenData += tls13.sealed(true, "ping");
    segments.push_back({toServer, finishedThenData});
    segments.push_back({toClient, tls13.sealed(false, "pong")});
    const auto decryption = decrypter()->decrypt(streamOf(segments));
    ASSERT_EQ(decryption.outcome, TLSDecryptionOutcome::decrypted());
    EXPECT_EQ(decryption.plaintext->clientToServerData.toString(), "ping");
    EXPECT_EQ(decryption.plaintext->serverToClientData.toString(), "pong");
}

}  // namespace
}  // namespace qor
