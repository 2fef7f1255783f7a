// The standard plug-in's TLS decryption probe, loaded by the plug-in controller, against tshark's
// decryption of the fixture captures and against sessions encrypted here with OpenSSL.
//
// Expected plaintext: tests/fixtures/expected/tls-follow/<capture>-<stream>.txt, each the output
// of the tshark command in its first line (`-z follow,tls,raw,N`). The frames that carry
// application data: tests/fixtures/expected/tls-follow/app-data-frames.tsv (tshark -Y tls.app_data).

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "AnalyzerHarness.hpp"
#include "PlugInPackets.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/tls/TLSDecryptionProbeRegistry.hpp"
#include "QORModels/tls/TLSKeyIndex.hpp"
#include "StreamCaptures.hpp"
#include "TLSSessionWriter.hpp"
#include "support/Fixtures.hpp"

namespace qor {

void PrintTo(const TLSDecryptionOutcome& outcome, std::ostream* out) { *out << outcome.description(); }

namespace {

using namespace test::tls;
using Failure = TLSDecryptionFailure;

/// Publishes the key-log text as the current key index, as the application does with its files.
void publishKeys(std::string_view text) {
    auto index = std::make_shared<TLSKeyIndex>();
    for (auto& entry : KeylogEntry::parse(text, KeylogSource::userFile("test.keys"))) index->add(std::move(entry));
    TLSKeyIndex::publish(std::move(index));
}
std::string keyFile(std::string_view name) { return test::readFile(test::capturePath(name)).toString(); }
std::shared_ptr<const TLSStreamDecrypting> decrypter() {
    test::activatePlugInsOnce();
    if (auto found = TLSDecryptionProbeRegistry::shared().currentDecrypter()) return found;
    throw std::runtime_error("the standard plug-in registered no decrypter");
}
const TCPStream& streamOf(const std::string& capture, int stream) {
    static std::map<std::string, std::vector<TCPStream>> cache;
    auto [it, added] = cache.try_emplace(capture);
    if (added) it->second = TCPStreamReassembler::reassembleAllOffMain(test::snapshotsOf(capture));
    return it->second.at(static_cast<std::size_t>(stream));
}
/// A stream of the segments, one packet each, numbered from 1 at one-second steps.
TCPStream streamOf(const Segments& segments) {
    std::vector<test::Sent> sent;
    for (const auto& [fromClient, bytes] : segments)
        sent.push_back({fromClient ? TCPSegment::Direction::clientToServer : TCPSegment::Direction::serverToClient, bytes,
                        static_cast<double>(sent.size() + 1), static_cast<std::int64_t>(sent.size() + 1)});
    return test::streamOf(sent, 443);
}
const auto decrypted = TLSDecryptionOutcome::decrypted();
TLSDecryptionOutcome failure(Failure f) { return TLSDecryptionOutcome::notDecrypted(f); }
/// Probes and decrypts `stream`, expecting the two outcomes and a plaintext exactly when decrypted.
TLSDecryption expectOutcomes(const TCPStream& stream, const TLSDecryptionOutcome& probe, const TLSDecryptionOutcome& decrypt) {
    EXPECT_EQ(decrypter()->probe(stream), probe);
    auto decryption = decrypter()->decrypt(stream);
    EXPECT_EQ(decryption.outcome, decrypt);
    EXPECT_EQ(decryption.plaintext.has_value(), decrypt.isDecrypted());
    return decryption;
}
/// The client's and the server's bytes as tshark's `follow,tls,raw` shows them: lines of hex,
/// those of the second node indented by a tab; "Node 0:" names the first node's address and port.
std::pair<std::string, std::string> followed(const std::string& file, const TCPStream& stream) {
    std::string bytes[2];
    bool clientFirst = true;
    for (const auto& line : test::split(test::readFile(test::fixturePath("expected/tls-follow/" + file)).toString(), '\n')) {
        if (line.starts_with("Node 0: ")) clientFirst = line.ends_with(":" + std::to_string(stream.clientEndpoint.port));
        const bool indented = line.starts_with('\t');
        if (auto hex = bytesFromHex(std::string_view(line).substr(indented)))
            bytes[indented].append(reinterpret_cast<const char*>(hex->data()), hex->size());
    }
    return clientFirst ? std::pair{bytes[0], bytes[1]} : std::pair{bytes[1], bytes[0]};
}
/// The packets a byte index names, once checked to cover its data exactly (ascending,
/// contiguous, non-empty spans), against the frames tshark saw carrying application data.
void expectIndexed(const ByteToSegmentIndex& index, const Data& data, const std::string& capture, int stream, std::uint16_t port) {
    std::set<std::int64_t> ids, frames;
    std::int64_t at = 0;
    for (const auto& span : index.spans) {
        EXPECT_EQ(span.range.lowerBound, at);
        EXPECT_GT(span.range.count(), 0);
        EXPECT_FALSE(span.packetIds.empty());
        ids.insert(span.packetIds.begin(), span.packetIds.end());
        at = span.range.upperBound;
    }
    EXPECT_EQ(at, static_cast<std::int64_t>(data.size()));
    for (const auto& row : test::readExpectedRows("tls-follow/app-data-frames.tsv", 4))
        if (row[0] == capture && std::stoi(row[1]) == stream && std::stoi(row[3]) == port) frames.insert(std::stoll(row[2]));
    EXPECT_EQ(ids, frames);
}

TEST(TLSDecryptionProbeCaptures, PlaintextEqualsTsharksWithTheRightKeysAndTheFailureIsNamedWithout) {
    struct Case { std::string capture, keys; int stream; std::string followFile; };
    for (const auto& c : {Case{"tls_nss_example.pcap", "tls_nss_example.keys.txt", 0, "tls_nss_example-0.txt"},  // TLS 1.2, 0xc030
                          Case{"tls_nss_example.pcap", "tls_nss_example.keys.txt", 1, "tls_nss_example-1.txt"},  // TLS 1.3, 0x1302
                          Case{"illustrated-tls12-dsb.pcapng", "illustrated-tls12-keylog.txt", 0, "illustrated-tls12-dsb-0.txt"}}) {  // 0xc013
        SCOPED_TRACE(c.followFile);
        const auto& stream = streamOf(c.capture, c.stream);
        const std::string keys = keyFile(c.keys);
        publishKeys(keys);
        const auto plain = expectOutcomes(stream, decrypted, decrypted).plaintext.value();
        const auto [client, server] = followed(c.followFile, stream);
        EXPECT_EQ(plain.clientToServerData.toString(), client);
        EXPECT_EQ(plain.serverToClientData.toString(), server);
        expectIndexed(plain.clientByteIndex, plain.clientToServerData, c.capture, c.stream, stream.clientEndpoint.port);
        expectIndexed(plain.serverByteIndex, plain.serverToClientData, c.capture, c.stream, stream.serverEndpoint.port);
        EXPECT_EQ(plain.key, stream.key);
        // The last hex digit of each line's secret changed (comments kept).
        std::string flipped;
        for (auto line : test::split(keys, '\n')) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
            if (!line.empty() && line[0] != '#') line.back() = line.back() == '0' ? '1' : '0';
            flipped += line + "\n";
        }
        publishKeys(flipped);
        expectOutcomes(stream, failure(Failure::keyMismatch), failure(Failure::keyMismatch));
        // A wrong line for the session before the right one: the right one is found.
        publishKeys(flipped + keys);
        EXPECT_EQ(decrypter()->probe(stream), decrypted);
        publishKeys("");
        EXPECT_EQ(decrypter()->probe(stream), failure(Failure::noKeyMaterial));
    }
    // TLS 1.3 with the handshake secrets only, or a master secret one hex digit short.
    std::string handshakeOnly;
    for (const auto& line : test::split(keyFile("tls_nss_example.keys.txt"), '\n'))
        if (line.find("HANDSHAKE") != std::string::npos) handshakeOnly += line + "\n";
    publishKeys(handshakeOnly);
    EXPECT_EQ(decrypter()->probe(streamOf("tls_nss_example.pcap", 1)), failure(Failure::noKeyMaterial));
    const std::string keylog = keyFile("illustrated-tls12-keylog.txt");
    publishKeys(keylog.substr(0, keylog.find_last_not_of("\r\n") - 1) + "\n");
    EXPECT_EQ(decrypter()->probe(streamOf("illustrated-tls12-dsb.pcapng", 0)), failure(Failure::noKeyMaterial));
}

TEST(TLSDecryptionProbeSessions, EverySuiteFamilyDecryptsToItsApplicationDataAndFailsOnAnAlteredRecord) {
    for (unsigned suite : {0xc02fu, 0xc030u, 0xcca8u, 0xc013u, 0x003cu, 0xc028u, 0x1301u, 0x1302u, 0x1303u}) {
        SCOPED_TRACE(testing::Message() << std::hex << suite);
        TLSSessionWriter session(suite);
        publishKeys(session.keyLog());
        Segments segments = session.handshake();
        const Octets request = "GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n";
        Octets body;
        for (int i = 0; i < 700; ++i) body += static_cast<char>(i * 7);
        // TLS 1.3: a KeyUpdate from each side and a session ticket come before the data; they
        // change the keys and are not shown. (Records are sealed one statement at a time: their
        // sequence numbers follow that order.)
        Octets first = session.isTLS13() ? session.keyUpdate(true) : "", reply;
        if (session.isTLS13()) reply = session.sealed(false, handshakeMessage(4, Octets(20, 't')), 22);
        if (session.isTLS13()) reply += session.keyUpdate(false);
        segments.push_back({true, first + session.sealed(true, request)});
        // Two records in one segment, then one record split over two segments, an empty
        // record, and an alert that is not application data.
        reply += session.sealed(false, body.substr(0, 100));
        reply += session.sealed(false, body.substr(100, 200));
        const Octets split = session.sealed(false, body.substr(300), 23, session.isTLS13() ? 40 : 0);
        segments.insert(segments.end(), {{false, reply}, {false, split.substr(0, 50)}, {false, split.substr(50) + session.sealed(false, "")},
                                         {true, session.sealed(true, "\x01\x00", 21)}});
        const auto plain = expectOutcomes(streamOf(segments), decrypted, decrypted).plaintext.value();
        EXPECT_EQ(plain.clientToServerData.toString(), request);
        EXPECT_EQ(plain.serverToClientData.toString(), body);
        // Each record's span names the packets that carried it, and the first one's time.
        std::vector<std::tuple<ByteRange, std::vector<std::int64_t>, double>> spans;
        for (const auto& span : plain.serverByteIndex.spans) spans.push_back({span.range, span.packetIds, span.timestamp});
        const std::int64_t d = session.isTLS13() ? 4 : 5;  // the request's packet
        EXPECT_EQ(spans, (decltype(spans){
                             {{0, 100}, {d + 1}, d + 1.0}, {{100, 300}, {d + 1}, d + 1.0}, {{300, 700}, {d + 2, d + 3}, d + 2.0}}));
        EXPECT_EQ(plain.clientByteIndex.spans.at(0).packetIds, (std::vector<std::int64_t>{d}));
        // One bit flipped in the client's first application data, then in its alert after it.
        for (const bool later : {false, true}) {
            Segments altered = segments;
            altered[segments.size() - (later ? 1 : 5)].second.back() ^= 0x01;
            expectOutcomes(streamOf(altered), later ? decrypted : failure(Failure::keyMismatch),
                           failure(later ? Failure::recordDecryptionFailed : Failure::keyMismatch));
        }
    }
}

TEST(TLSDecryptionProbeSessions, EarlyDataIsDecryptedWithItsSecretPassedOverWithoutAndNeverDecidesTheOutcome) {
    for (unsigned suite : {0x1301u, 0x1303u}) {
        for (const bool accepted : {true, false}) {
            SCOPED_TRACE(testing::Message() << std::hex << suite << (accepted ? " accepted" : " rejected"));
            // The client's 0-RTT request under its early keys (and, when the server accepted it,
            // EndOfEarlyData), then its Finished under its handshake keys and a request under its
            // traffic keys. Each side's records are sealed in the order they are sent.
            TLSSessionWriter session(suite);
            session.earlyKeys();
            const Octets early = session.sealed(true, "early request");
            Octets end;
            if (accepted) end = session.endOfEarlyData();
            else session.handshakeKeys();
            const Segments handshake = session.handshake();
            const Segments segments = {{true, session.clientHello(true) + early}, handshake[1], {true, end + handshake[2].second},
                                       {true, session.sealed(true, "late request")}, {false, session.sealed(false, "reply")}};
            publishKeys(session.keyLog() + session.earlyKeyLog());
            auto plain = expectOutcomes(streamOf(segments), decrypted, decrypted).plaintext.value();
            EXPECT_EQ(plain.clientToServerData.toString(), "early requestlate request");
            EXPECT_EQ(plain.clientByteIndex.spans.size(), 2u);
            EXPECT_EQ(plain.serverToClientData.toString(), "reply");
            // Without the early secret the early records are passed over.
            publishKeys(session.keyLog());
            plain = expectOutcomes(streamOf(segments), decrypted, decrypted).plaintext.value();
            EXPECT_EQ(plain.clientToServerData.toString(), "late request");
            // A client Finished that does not open: what follows cannot either, and early data
            // decrypted before it does not make the session decrypted.
            Segments altered = segments;
            altered[2].second.back() ^= 0x01;
            publishKeys(session.keyLog() + session.earlyKeyLog());
            expectOutcomes(streamOf(altered), failure(Failure::keyMismatch), failure(Failure::keyMismatch));
        }
    }
}

TEST(TLSDecryptionProbeSessions, LaterSessionsOfOneConnectionFollowWithTheirOwnKeys) {
    // A TLS 1.2 session that the client closes, then a TLS 1.3 session on the same connection.
    TLSSessionWriter first(0xc02f, 0x11), second(0x1301, 0x55);
    Segments segments = first.handshake();
    segments.insert(segments.end(), {{true, first.sealed(true, "one")}, {false, first.sealed(false, "uno")},
                                     {true, first.sealed(true, "\x01\x00", 21)}});
    for (const auto& segment : second.handshake()) segments.push_back(segment);
    segments.insert(segments.end(), {{true, second.sealed(true, "two")}, {false, second.sealed(false, "dos")}});
    const TCPStream stream = streamOf(segments);

    publishKeys(first.keyLog() + second.keyLog());
    auto plain = expectOutcomes(stream, decrypted, decrypted).plaintext.value();
    EXPECT_EQ(plain.clientToServerData.toString(), "onetwo");
    EXPECT_EQ(plain.serverToClientData.toString(), "unodos");
    ASSERT_EQ(plain.clientByteIndex.spans.size(), 2u);
    EXPECT_EQ(plain.clientByteIndex.spans[1].range, (ByteRange{3, 6}));
    EXPECT_EQ(plain.clientByteIndex.spans[1].packetIds, (std::vector<std::int64_t>{static_cast<std::int64_t>(segments.size()) - 1}));
    // Without the second session's keys its data is left out; the first decrypts as before.
    publishKeys(first.keyLog());
    plain = expectOutcomes(stream, decrypted, decrypted).plaintext.value();
    EXPECT_EQ(plain.clientToServerData.toString(), "one");
    EXPECT_EQ(plain.serverToClientData.toString(), "uno");
    // The outcome is the first session's, which the stream's first ClientHello names.
    publishKeys(second.keyLog());
    expectOutcomes(stream, failure(Failure::noKeyMaterial), failure(Failure::noKeyMaterial));
}

TEST(TLSDecryptionProbeSessions, ARenegotiationGoesOnUnderTheKeysOfItsOwnHellos) {
    // The new hellos travel under the first keys, then each side's change_cipher_spec; the
    // Finished and the data after them use the keys of the renegotiated session (another suite).
    TLSSessionWriter first(0xc02f, 0x11), renewed(0xc030, 0x66);
    Segments segments = first.handshake();
    const Octets finished = handshakeMessage(20, Octets(12, '\x5A'));
    // (The records of one side are sealed one statement at a time: their sequence numbers
    // follow that order.)
    segments.insert(segments.end(), {{true, first.sealed(true, "one")}, {false, first.sealed(false, "uno")},
                                     {true, first.sealed(true, renewed.clientHello().substr(5), 22)}});
    Octets serverFlight = first.sealed(false, renewed.serverHello().substr(5), 22);
    serverFlight += first.sealed(false, "\x01", 20);
    segments.insert(segments.end(), {{false, serverFlight},
                                     {true, first.sealed(true, "\x01", 20) + renewed.sealed(true, finished, 22)},
                                     {false, renewed.sealed(false, finished, 22)},
                                     {true, renewed.sealed(true, "two")}, {false, renewed.sealed(false, "dos")}});
    const TCPStream stream = streamOf(segments);
    publishKeys(first.keyLog() + renewed.keyLog());
    auto plain = expectOutcomes(stream, decrypted, decrypted).plaintext.value();
    EXPECT_EQ(plain.clientToServerData.toString(), "onetwo");
    EXPECT_EQ(plain.serverToClientData.toString(), "unodos");
    // Without the renegotiated session's secret, what comes after it is left out.
    publishKeys(first.keyLog());
    plain = expectOutcomes(stream, decrypted, decrypted).plaintext.value();
    EXPECT_EQ(plain.clientToServerData.toString(), "one");
    EXPECT_EQ(plain.serverToClientData.toString(), "uno");
    // A record of the renegotiated session altered: it fails as a later record does.
    Segments altered = segments;
    altered[altered.size() - 2].second.back() ^= 0x01;
    publishKeys(first.keyLog() + renewed.keyLog());
    expectOutcomes(streamOf(altered), decrypted, failure(Failure::recordDecryptionFailed));
}

TEST(TLSDecryptionProbeSessions, HandshakesItCannotUseAreNamed) {
    TLSSessionWriter tls12(0xc02f);
    publishKeys(tls12.keyLog());
    const Octets hello = tls12.clientHello();
    const auto answer = [](unsigned suite, unsigned legacy, unsigned selected = 0) {
        return serverHello(Octets(32, 'S'), suite, legacy, selected);
    };
    const std::vector<std::tuple<const char*, Segments, Failure>> cases = {
        {"no TLS at all", {{true, "GET / HTTP/1.1\r\n\r\n"}, {false, "HTTP/1.1 200 OK\r\n\r\n"}}, Failure::noHandshake},
        {"no ServerHello", {{true, hello}}, Failure::noHandshake},
        {"a ClientHello cut short", {{true, hello.substr(0, 30)}, {false, answer(0xc02f, 0x0303)}}, Failure::noHandshake},
        {"TLS 1.0", {{true, hello}, {false, answer(0xc013, 0x0301)}}, Failure::unsupportedVersion},
        {"a 3DES suite", {{true, hello}, {false, answer(0x000a, 0x0303)}}, Failure::unsupportedVersion},
        {"a TLS 1.3 suite under TLS 1.2", {{true, hello}, {false, answer(0x1301, 0x0303)}}, Failure::unsupportedVersion},
        {"a draft TLS 1.3", {{true, hello}, {false, answer(0x1301, 0x0303, 0x7f1c)}}, Failure::unsupportedVersion},
        {"a session the key log does not know", {{true, TLSSessionWriter(0xc02f, 0x43).clientHello()}, {false, answer(0xc02f, 0x0303)}},
         Failure::noKeyMaterial},
    };
    for (const auto& [name, segments, expected] : cases) {
        SCOPED_TRACE(name);
        expectOutcomes(streamOf(segments), failure(expected), failure(expected));
    }
    // The hello split over two records and two segments, the ServerHello after a
    // HelloRetryRequest: still the session the key log names.
    TLSSessionWriter tls13(0x1303);
    publishKeys(tls13.keyLog());
    const Segments handshake = tls13.handshake();
    const Octets message = handshake[0].second.substr(5);
    const Octets splitHello = record(22, message.substr(0, 40)) + record(22, message.substr(40));
    const Octets retryRandom = "\xCF\x21\xAD\x74\xE5\x9A\x61\x11\xBE\x1D\x8C\x02\x1E\x65\xB8\x91\xC2\xA2\x11\x16\x7A\xBB\x8C\x5E\x07\x9E\x09\xE2\xC8\xA8\x33\x9C";
    const Segments segments = {{true, splitHello.substr(0, 20)}, {true, splitHello.substr(20)},
                               {false, serverHello(retryRandom, 0x1303, 0x0303, 0x0304) + changeCipherSpec()},
                               {true, changeCipherSpec() + handshake[0].second}, handshake[1],
                               {true, handshake[2].second + tls13.sealed(true, "ping")}, {false, tls13.sealed(false, "pong")}};
    const auto plain = expectOutcomes(streamOf(segments), decrypted, decrypted).plaintext.value();
    EXPECT_EQ(plain.clientToServerData.toString(), "ping");
    EXPECT_EQ(plain.serverToClientData.toString(), "pong");
}

}  // namespace
}  // namespace qor
