// Rows of the TLS keys view: collapsing, matching, sorting, statuses and the summary.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ClientHellos.hpp"
#include "QORCommonTools/QORAnalyzingUtilities.hpp"
#include "QORModels/tls/TLSKeyCompleteness.hpp"
#include "QORModels/tls/TLSKeyInventory.hpp"
#include "QORModels/tls/TLSKeySummary.hpp"
#include "QORModels/tls/TLSSessionStatusResolving.hpp"

namespace qor {
namespace {

using Failure = TLSDecryptionFailure;
using Placed = TLSKeyInventory::PlacedSighting;

Placed placed(std::uint8_t randomStart, std::optional<std::string> name, std::string ip, std::int64_t firstPacket,
              std::uint16_t port = 443) {
    TLSHandshakeSighting s{Data::fromString(test::randomBytes(randomStart)), std::move(name), {}, {0x0303}};
    return {s, {std::move(ip), port, firstPacket}};
}

std::string keyLine(const std::string& label, std::uint8_t randomStart) {
    return label + " " + QORAnalyzingUtilities::hexStringFromData(Data::fromString(test::randomBytes(randomStart)), false) + " abcd";
}

KeylogEntry entry(const std::string& label, std::uint8_t randomStart, const KeylogSource& source) {
    return {keyLine(label, randomStart), label, source};
}

const KeylogSource kFile = KeylogSource::userFile("/keys/sslkeylog.txt");
const KeylogSource kTrace = KeylogSource::frozenTrace("0123456789abcdef0123456789abcdef");
const KeylogSource kOtherTrace = KeylogSource::frozenTrace("ffffffffffffffffffffffffffffffff");

TEST(TLSKeyInventory, KeepsEachRandomsEarliestStreamAndSortsByNameThenAddressStably) {
    const std::vector<Placed> sightings = {
        placed(1, "b.test", "10.0.0.9", 50), placed(2, std::nullopt, "10.0.0.9", 2), placed(1, "b.test", "10.0.0.1", 20),
        placed(1, "b.test", "10.0.0.3", 20), placed(3, "a.test", "10.0.0.2", 3, 8443), placed(4, "a.test", "10.0.0.10", 4),
        placed(5, "", "10.0.0.5", 5), placed(6, "a.test", "10.0.0.10", 6), placed(2, std::nullopt, "10.0.0.1", 70)};
    const auto rows = TLSKeyInventory::rows(sightings, TLSKeyIndex(), std::nullopt);
    std::vector<std::string> order;
    for (const auto& row : rows)
        order.push_back(row.serverName.value_or("-") + "@" + row.serverAddress + "#" + std::to_string(row.firstPacketId));
    // Random 1 lives at its first stream of packet 20; no name and "" compare equal and then by
    // address; "10.0.0.10" < "10.0.0.2" as plain text; equal keys keep their order.
    EXPECT_EQ(order, (std::vector<std::string>{"@10.0.0.5:443#5", "-@10.0.0.9:443#2", "a.test@10.0.0.10:443#4", "a.test@10.0.0.10:443#6",
                                               "a.test@10.0.0.2:8443#3", "b.test@10.0.0.1:443#20"}));
    EXPECT_FALSE(rows[0].decryptionOutcome);
}

TEST(TLSKeyInventory, GroupsEntriesIntoOneMatchPerSourceAndMarksTheOpenTrace) {
    TLSKeyIndex index;
    index.add(entry("CLIENT_HANDSHAKE_TRAFFIC_SECRET", 1, kFile));
    index.add(entry("CLIENT_RANDOM", 1, kTrace));
    index.add(entry("SERVER_HANDSHAKE_TRAFFIC_SECRET", 1, kFile));
    index.add(entry("CLIENT_RANDOM", 1, kOtherTrace));
    index.add(entry("CLIENT_HANDSHAKE_TRAFFIC_SECRET", 1, kTrace));
    const std::vector<Placed> sightings = {placed(1, "s.test", "::1", 1)};

    const auto rows = TLSKeyInventory::rows(sightings, index, kTrace.detail());
    ASSERT_EQ(rows.size(), 1u);
    const std::string chts = keyLine("CLIENT_HANDSHAKE_TRAFFIC_SECRET", 1), shts = keyLine("SERVER_HANDSHAKE_TRAFFIC_SECRET", 1),
                      random = keyLine("CLIENT_RANDOM", 1);
    EXPECT_EQ(rows[0].matches,
              (std::vector<TLSKeyMatch>{
                  {kFile, false, {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET"}, {chts, shts}},
                  {kTrace, true, {"CLIENT_RANDOM", "CLIENT_HANDSHAKE_TRAFFIC_SECRET"}, {random, chts}},
                  {kOtherTrace, false, {"CLIENT_RANDOM"}, {random}}}));
    EXPECT_EQ(rows[0].allLabels(), (std::vector<std::string>{"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET",
                                                             "CLIENT_RANDOM"}));
    EXPECT_EQ(rows[0].allLines(), (std::vector<std::string>{chts, shts, random}));  // each line once
    EXPECT_EQ(rows[0].serverAddress, "::1:443");

    // Only a frozen trace of the open capture's fingerprint is the current trace.
    for (const auto& fingerprint : {std::optional<std::string>(), std::optional(kFile.detail())}) {
        const auto others = TLSKeyInventory::rows(sightings, index, fingerprint);
        for (const auto& match : others[0].matches) EXPECT_FALSE(match.isCurrentTrace);
    }
}

TLSSessionKeyRow rowWith(std::vector<std::string> labels, std::optional<TLSDecryptionOutcome> outcome = std::nullopt) {
    TLSSessionKeyRow row;
    row.clientRandom = Data::fromString(test::randomBytes(1));
    if (!labels.empty()) row.matches.push_back(TLSKeyMatch{kFile, false, labels, labels});
    return row.with(outcome);
}

TEST(TLSSessionStatus, ResolversAndTheSummaryGiveTheStatusOfEachRow) {
    using S = TLSSessionStatus;
    const auto decrypted = TLSDecryptionOutcome::decrypted();
    auto notDecrypted = [](Failure f) { return std::optional(TLSDecryptionOutcome::notDecrypted(f)); };
    const std::vector<std::string> handshakeOnly = {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET"};
    const S noApplicationSecrets = S::keysIncomplete({"CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"});
    const std::vector<std::string> all13(TLSKeyCompleteness::tls13RequiredLabels.begin(), TLSKeyCompleteness::tls13RequiredLabels.end());
    struct Case {
        const char* name;
        TLSSessionKeyRow row;
        S canonical;
        S keysOnly;
    } cases[] = {
        {"TLS 1.2 master secret", rowWith({"CLIENT_RANDOM", "EXPORTER_SECRET"}), S::keysComplete(), S::keysComplete()},
        {"TLS 1.3 handshake secrets only", rowWith(handshakeOnly), noApplicationSecrets, noApplicationSecrets},
        {"TLS 1.3 application secret and exporter", rowWith({"SERVER_TRAFFIC_SECRET_0", "EXPORTER_SECRET"}),
         S::keysIncomplete({all13[0], all13[1], all13[2]}), S::keysIncomplete({all13[0], all13[1], all13[2]})},
        {"all TLS 1.3 secrets", rowWith(all13), S::keysComplete(), S::keysComplete()},
        {"labels are case-sensitive", rowWith({"client_random"}), S::keysIncomplete(all13), S::keysIncomplete(all13)},
        {"no entries", rowWith({}), S::noKeyMaterial(), S::noKeyMaterial()},
        {"no entries, key mismatch", rowWith({}, notDecrypted(Failure::keyMismatch)), S::failed(Failure::keyMismatch), S::noKeyMaterial()},
        {"no entries, no key material", rowWith({}, notDecrypted(Failure::noKeyMaterial)), S::noKeyMaterial(), S::noKeyMaterial()},
        {"complete keys, decrypted", rowWith({"CLIENT_RANDOM"}, decrypted), S::decrypted(), S::keysComplete()},
        {"complete keys, record decryption failed", rowWith({"CLIENT_RANDOM"}, notDecrypted(Failure::recordDecryptionFailed)),
         S::failed(Failure::recordDecryptionFailed), S::keysComplete()},
        {"incomplete keys, decrypted anyway", rowWith(handshakeOnly, decrypted), S::decrypted(), noApplicationSecrets},
    };
    const KeyCompletenessStatusResolver keysOnly;
    std::vector<TLSSessionKeyRow> rows;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.row.status(), c.canonical);
        EXPECT_EQ(TLSSessionStatusResolution::canonical().status(c.row), c.canonical);
        EXPECT_EQ(keysOnly.status(c.row), c.keysOnly);
        EXPECT_EQ(c.row.with(std::nullopt).status(), c.keysOnly);
        rows.push_back(c.row);
    }
    // The summary counts decrypted rows as complete and failed ones as keyed but incomplete.
    auto counts = [](const TLSKeySummary& s) { return std::vector{s.total, s.keyed, s.complete, s.incomplete, s.noKey}; };
    EXPECT_EQ(counts(TLSKeySummary(rows)), (std::vector<std::int64_t>{11, 9, 4, 5, 2}));
    EXPECT_EQ(counts(TLSKeySummary(rows, keysOnly)), (std::vector<std::int64_t>{11, 8, 4, 4, 3}));
    EXPECT_EQ(TLSKeySummary(std::span<const TLSSessionKeyRow>()), TLSKeySummary());
}

}  // namespace
}  // namespace qor
