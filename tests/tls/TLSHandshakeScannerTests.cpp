// ClientHellos written byte by byte, read by the handshake scanner.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ClientHellos.hpp"
#include "QORModels/tls/TLSHandshakeScanner.hpp"

namespace qor {
namespace {

using test::alpn;
using test::ClientHello;
using test::record;
using test::sni;
using test::supportedVersions;

/// What a sighting should say; its random is `randomBytes(randomStart)`.
struct Expected {
    std::uint8_t randomStart;
    std::optional<std::string> serverName;
    std::vector<std::string> alpn;
    std::vector<std::uint16_t> versions;
};

struct Case {
    const char* name;
    std::string bytes;
    std::vector<Expected> expected;
};

const ClientHello kTLS12{0x0303, 1, std::string(32, 'x'), {sni("example.com"), alpn({"h2", "http/1.1"})}};
const ClientHello kTLS13{0x0303, 101, "", {supportedVersions({0x1a1a, 0x0304, 0x0303}), sni("a.test")}};
const std::string kServerHello = test::handshakeMessage(2, std::string(70, '\x02'));

std::vector<Case> scanningCases() {
    const Expected tls12{1, "example.com", {"h2", "http/1.1"}, {0x0303}};
    const Expected tls13{101, "a.test", {}, {0x1a1a, 0x0304, 0x0303}};
    const std::string hello12 = kTLS12.message();
    ClientHello noExtensions{0x0301, 7, "", {}};
    ClientHello emptyVersions{0x0302, 9, "", {supportedVersions({})}};
    ClientHello oddVersions{0x0303, 9, "", {{43, std::string("\x03\x03\x04\x03", 4)}}};
    ClientHello otherNameType{0x0303, 3, "", {sni("host", 1)}};
    ClientHello secondSNIBroken{0x0303, 3, "", {sni("first.test"), {0, std::string("\x00\x03\x00", 3)}}};
    ClientHello secondALPNWins{0x0303, 3, "", {alpn({"h2"}), alpn({"spdy/3", "h3"})}};
    ClientHello badUTF8{0x0303, 3, "", {sni("caf\xc3"), alpn({"ok", "\xff\xfe", "also"})}};
    ClientHello alpnRunsOver{0x0303, 3, "", {{16, std::string("\x00\x09\x02h2\x09short", 10)}}};
    ClientHello sniShortName{0x0303, 3, "", {{0, std::string("\x00\x09\x00\x00\x09host", 9)}}};
    ClientHello unknownExtensions{0x0303, 3, "", {{0xff01, "\x00"}, {23, ""}, sni("x.test")}};
    ClientHello extensionRunsOver{0x0303, 3, "", {sni("kept.test"), {0x000a, std::string(4, '\x01')}}};
    std::string extensionPastBlock = extensionRunsOver.body();
    extensionPastBlock[extensionPastBlock.size() - 5] = '\x40';  // the last extension claims 64 bytes
    std::string extensionsPastBody = kTLS12.body();
    extensionsPastBody[2 + 32 + 1 + 32 + 2 + 4 + 2] = '\x7f';  // the extensions length runs past the body
    const std::string shortBody = kTLS12.body().substr(0, 33);
    const std::string exactlyRandom = kTLS12.body().substr(0, 34);

    return {
        {"one record", record(22, hello12), {tls12}},
        {"after records of other types",
         record(20, "\x01") + record(21, std::string("\x01\x00", 2)) + record(23, "xyz") + record(22, hello12), {tls12}},
        {"other types between the pieces",
         record(22, hello12.substr(0, 9)) + record(23, "data") + record(22, hello12.substr(9)), {tls12}},
        {"empty handshake records ignored", record(22, "") + record(22, hello12) + record(22, ""), {tls12}},
        {"record version not checked", std::string("\x16\x00\x00", 3) + test::be16(static_cast<std::uint16_t>(hello12.size())) + hello12,
         {tls12}},
        {"two hellos in one record", record(22, hello12 + kTLS13.message()), {tls12, tls13}},
        {"two hellos in two records", record(22, kTLS13.message()) + record(22, hello12), {tls13, tls12}},
        {"other handshake messages skipped", record(22, kServerHello + hello12 + kServerHello), {tls12}},
        {"GREASE kept, legacy version not added", record(22, kTLS13.message()), {tls13}},
        {"no extensions block at all", record(22, test::handshakeMessage(1, noExtensions.body().substr(0, 2 + 32 + 1 + 8))),
         {{7, {}, {}, {0x0301}}}},
        {"empty extensions block", record(22, noExtensions.message()), {{7, {}, {}, {0x0301}}}},
        {"empty supported_versions gives the legacy version", record(22, emptyVersions.message()), {{9, {}, {}, {0x0302}}}},
        {"supported_versions list cut at the data", record(22, oddVersions.message()), {{9, {}, {}, {0x0304}}}},
        {"SNI of another name type", record(22, otherNameType.message()), {{3, {}, {}, {0x0303}}}},
        {"a broken later SNI clears the name", record(22, secondSNIBroken.message()), {{3, {}, {}, {0x0303}}}},
        {"SNI name longer than its data", record(22, sniShortName.message()), {{3, {}, {}, {0x0303}}}},
        {"the later ALPN wins", record(22, secondALPNWins.message()), {{3, {}, {"spdy/3", "h3"}, {0x0303}}}},
        {"names that are not UTF-8 left out", record(22, badUTF8.message()), {{3, {}, {"ok", "also"}, {0x0303}}}},
        {"ALPN name past its data ends the list", record(22, alpnRunsOver.message()), {{3, {}, {"h2"}, {0x0303}}}},
        {"unknown extensions ignored", record(22, unknownExtensions.message()), {{3, "x.test", {}, {0x0303}}}},
        {"an extension past the block ends the walk", record(22, test::handshakeMessage(1, extensionPastBlock)),
         {{3, "kept.test", {}, {0x0303}}}},
        {"extensions past the body: sighting without them", record(22, test::handshakeMessage(1, extensionsPastBody)),
         {{1, {}, {}, {0x0303}}}},
        {"body of exactly the random", record(22, test::handshakeMessage(1, exactlyRandom)), {{1, {}, {}, {0x0303}}}},
        {"body shorter than the random", record(22, test::handshakeMessage(1, shortBody)), {}},
        {"record past the end stops the scan", record(22, hello12) + record(22, kTLS13.message()).substr(0, 40), {tls12}},
        {"message past the buffer stops the scan", record(22, hello12 + kTLS13.message().substr(0, 30)), {tls12}},
        {"huge handshake length in a small input", record(22, std::string("\x01\xff\xff\xff", 4) + std::string(90, 'z')), {}},
        {"huge record length in a small input", std::string("\x16\x03\x03\xff\xff", 5) + hello12, {}},
        {"fewer than five bytes", std::string("\x16\x03\x03\x00", 4), {}},
        {"empty input", "", {}},
        {"not TLS at all", "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n", {}},
    };
}

TEST(TLSHandshakeScanner, FindsEachClientHelloWithItsFields) {
    for (const auto& c : scanningCases()) {
        SCOPED_TRACE(c.name);
        const auto found = TLSHandshakeScanner::sightings(Data::fromString(c.bytes));
        ASSERT_EQ(found.size(), c.expected.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].clientRandom, Data::fromString(test::randomBytes(c.expected[i].randomStart)));
            EXPECT_EQ(found[i].serverName, c.expected[i].serverName);
            EXPECT_EQ(found[i].alpnProtocols, c.expected[i].alpn);
            EXPECT_EQ(found[i].offeredVersions, c.expected[i].versions);
        }
        std::vector<Data> randoms;
        for (const auto& s : found) randoms.push_back(s.clientRandom);
        EXPECT_EQ(TLSClientRandomExtractor::clientRandoms(Data::fromString(c.bytes)), randoms);
    }
}

TEST(TLSHandshakeScanner, EveryWayOfCuttingMessagesIntoRecordsGivesTheSameSightings) {
    // Messages of other types before, between and after the hellos, one longer than a hello.
    const std::string messages = kServerHello + kTLS12.message() + test::handshakeMessage(11, std::string(300, '\x0b')) +
                                 kTLS13.message() + kServerHello;
    const auto whole = TLSHandshakeScanner::sightings(Data::fromString(record(22, messages)));
    ASSERT_EQ(whole.size(), 2u);
    for (std::size_t size = 1; size <= messages.size(); ++size) {
        SCOPED_TRACE(size);
        ASSERT_EQ(TLSHandshakeScanner::sightings(Data::fromString(test::handshakeRecords(messages, size))), whole);
        // A cut last message gives what the complete ones give.
        const std::string cut = messages.substr(0, messages.size() - 3);
        const auto partial = TLSHandshakeScanner::sightings(Data::fromString(test::handshakeRecords(cut, size)));
        ASSERT_EQ(partial, whole);
    }
    // A hello cut short at its last byte gives nothing after the first hello.
    const std::string unfinished = kTLS12.message() + kTLS13.message().substr(0, kTLS13.message().size() - 1);
    for (std::size_t size : {1u, 7u, 64u, 1000u})
        EXPECT_EQ(TLSHandshakeScanner::sightings(Data::fromString(test::handshakeRecords(unfinished, size))).size(), 1u);
}

TEST(TLSHandshakeScanner, SightingsHoldTheirOwnRandom) {
    const Data stream = Data::fromString(record(22, kTLS12.message()));
    const auto found = TLSHandshakeScanner::sightings(stream);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].clientRandom.size(), 32u);
    EXPECT_FALSE(found[0].clientRandom.sharesStorageWith(stream));
}

}  // namespace
}  // namespace qor
