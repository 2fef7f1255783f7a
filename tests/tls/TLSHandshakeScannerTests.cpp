// ClientHellos written byte by byte, read by the handshake scanner.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ClientHellos.hpp"
#include "QORModels/tls/TLSHandshakeScanner.hpp"

namespace qor {
namespace {

using namespace test;
using namespace std::string_literals;

Data r(std::uint8_t randomStart) { return Data::fromString(randomBytes(randomStart)); }
std::string inRecord(const ClientHello& hello) { return record(22, hello.message()); }
std::string withExtensions(std::vector<Extension> extensions) { return inRecord({0x0303, 3, "", std::move(extensions)}); }

const ClientHello kTLS12{0x0303, 1, std::string(32, 'x'), {sni("example.com"), alpn({"h2", "http/1.1"})}};
const ClientHello kTLS13{0x0303, 101, "", {supportedVersions({0x1a1a, 0x0304, 0x0303}), sni("a.test")}};

TEST(TLSHandshakeScanner, FindsEachClientHelloWithItsFields) {
    const TLSHandshakeSighting tls12{r(1), "example.com", {"h2", "http/1.1"}, {0x0303}};
    const TLSHandshakeSighting tls13{r(101), "a.test", {}, {0x1a1a, 0x0304, 0x0303}};
    const TLSHandshakeSighting bare{r(3), {}, {}, {0x0303}};
    const std::string hello12 = kTLS12.message();
    const ClientHello noExtensions{0x0301, 7, "", {}};
    ClientHello extensionRunsOver{0x0303, 3, "", {sni("kept.test"), {0x000a, std::string(4, '\x01')}}};
    std::string extensionPastBlock = extensionRunsOver.body();
    extensionPastBlock[extensionPastBlock.size() - 5] = '\x40';  // the last extension claims 64 bytes
    std::string extensionsPastBody = kTLS12.body();
    extensionsPastBody[2 + 32 + 1 + 32 + 2 + 4 + 2] = '\x7f';  // the extensions length runs past the body

    const struct {
        const char* name;
        std::string bytes;
        std::vector<TLSHandshakeSighting> expected;
    } cases[] = {
        {"records of other types before and between the pieces",
         record(21, std::string("\x01\x00", 2)) + record(22, hello12.substr(0, 9)) + record(23, "data") + record(22, hello12.substr(9)),
         {tls12}},
        {"empty handshake records ignored", record(22, "") + record(22, hello12) + record(22, ""), {tls12}},
        {"record version not checked", std::string("\x16\x00\x00", 3) + be16(static_cast<std::uint16_t>(hello12.size())) + hello12,
         {tls12}},
        {"two hellos in one record", record(22, hello12 + kTLS13.message()), {tls12, tls13}},
        {"no extensions block at all", record(22, handshakeMessage(1, noExtensions.body().substr(0, 2 + 32 + 1 + 8))),
         {{r(7), {}, {}, {0x0301}}}},
        {"empty supported_versions gives the legacy version", inRecord({0x0302, 9, "", {supportedVersions({})}}),
         {{r(9), {}, {}, {0x0302}}}},
        {"supported_versions list cut at the data", withExtensions({{43, "\x03\x03\x04\x03"s}}), {{r(3), {}, {}, {0x0304}}}},
        {"SNI of another name type", withExtensions({sni("host", 1)}), {bare}},
        {"a broken later SNI clears the name", withExtensions({sni("first.test"), {0, "\x00\x03\x00"s}}), {bare}},
        {"SNI name longer than its data", withExtensions({{0, "\x00\x09\x00\x00\x09host"s}}), {bare}},
        {"the later ALPN wins", withExtensions({alpn({"h2"}), alpn({"spdy/3", "h3"})}), {{r(3), {}, {"spdy/3", "h3"}, {0x0303}}}},
        {"names that are not UTF-8 left out", withExtensions({sni("caf\xc3"), alpn({"ok", "\xff\xfe", "also"})}),
         {{r(3), {}, {"ok", "also"}, {0x0303}}}},
        {"ALPN name past its data ends the list", withExtensions({{16, "\x00\x09\x02h2\x09shor"s}}), {{r(3), {}, {"h2"}, {0x0303}}}},
        {"an extension past the block ends the walk", record(22, handshakeMessage(1, extensionPastBlock)),
         {{r(3), "kept.test", {}, {0x0303}}}},
        {"extensions past the body: sighting without them", record(22, handshakeMessage(1, extensionsPastBody)),
         {{r(1), {}, {}, {0x0303}}}},
        {"body of exactly the random", record(22, handshakeMessage(1, kTLS12.body().substr(0, 34))), {{r(1), {}, {}, {0x0303}}}},
        {"body shorter than the random", record(22, handshakeMessage(1, kTLS12.body().substr(0, 33))), {}},
        {"record past the end stops the scan", record(22, hello12) + record(22, kTLS13.message()).substr(0, 40), {tls12}},
        {"huge handshake length in a small input", record(22, std::string("\x01\xff\xff\xff", 4) + std::string(90, 'z')), {}},
        {"huge record length in a small input", std::string("\x16\x03\x03\xff\xff", 5) + hello12, {}},
        {"empty input", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Data bytes = Data::fromString(c.bytes);
        const auto found = TLSHandshakeScanner::sightings(bytes);
        EXPECT_EQ(found, c.expected);
        for (const auto& s : found) EXPECT_FALSE(s.clientRandom.sharesStorageWith(bytes));  // a sighting keeps no stream alive
        std::vector<Data> randoms;
        for (const auto& s : c.expected) randoms.push_back(s.clientRandom);
        EXPECT_EQ(TLSClientRandomExtractor::clientRandoms(bytes), randoms);
    }
}

TEST(TLSHandshakeScanner, EveryWayOfCuttingMessagesIntoRecordsGivesTheSameSightings) {
    // Messages of other types before, between and after the hellos, one longer than a hello.
    const std::string serverHello = handshakeMessage(2, std::string(70, '\x02'));
    const std::string messages = serverHello + kTLS12.message() + handshakeMessage(11, std::string(300, '\x0b')) +
                                 kTLS13.message() + serverHello;
    const auto whole = TLSHandshakeScanner::sightings(Data::fromString(record(22, messages)));
    ASSERT_EQ(whole.size(), 2u);
    const std::string cut = messages.substr(0, messages.size() - 3);  // a cut last message adds nothing
    for (std::size_t size = 1; size <= messages.size(); ++size) {
        SCOPED_TRACE(size);
        ASSERT_EQ(TLSHandshakeScanner::sightings(Data::fromString(handshakeRecords(messages, size))), whole);
        ASSERT_EQ(TLSHandshakeScanner::sightings(Data::fromString(handshakeRecords(cut, size))), whole);
    }
    // A hello cut short at its last byte gives nothing after the first hello.
    const std::string unfinished = kTLS12.message() + kTLS13.message().substr(0, kTLS13.message().size() - 1);
    for (std::size_t size : {1u, 7u, 64u, 1000u})
        EXPECT_EQ(TLSHandshakeScanner::sightings(Data::fromString(handshakeRecords(unfinished, size))).size(), 1u);
}

}  // namespace
}  // namespace qor
