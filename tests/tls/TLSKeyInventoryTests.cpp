// Rows of the TLS keys view: collapsing, matching, sorting, statuses and the summary.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ClientHellos.hpp"
#include "QORModels/tls/TLSKeyCompleteness.hpp"
#include "QORModels/tls/TLSKeyInventory.hpp"
#include "QORModels/tls/TLSKeySummary.hpp"
#include "QORModels/tls/TLSSessionStatusResolving.hpp"

namespace qor {
namespace {

using Failure = TLSDecryptionFailure;
using Placed = TLSKeyInventory::PlacedSighting;

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

Placed placed(std::uint8_t randomStart, std::optional<std::string> name, std::string ip, std::int64_t firstPacket,
              std::uint16_t port = 443) {
    TLSHandshakeSighting s{Data::fromString(test::randomBytes(randomStart)), std::move(name), {}, {0x0303}};
    return {s, {std::move(ip), port, firstPacket}};
}

std::string keyLine(const std::string& label, std::uint8_t randomStart, const std::string& secret = "abcd") {
    return label + " " + hex(test::randomBytes(randomStart)) + " " + secret;
}

KeylogEntry entry(const std::string& label, std::uint8_t randomStart, const KeylogSource& source, const std::string& secret = "abcd") {
    return {keyLine(label, randomStart, secret), label, source};
}

const KeylogSource kFile = KeylogSource::userFile("/keys/sslkeylog.txt");
const KeylogSource kTrace = KeylogSource::frozenTrace("0123456789abcdef0123456789abcdef");
const KeylogSource kOtherTrace = KeylogSource::frozenTrace("ffffffffffffffffffffffffffffffff");

TEST(TLSKeyInventory, CollapsesSightingsToTheEarliestStreamInFirstAppearanceOrder) {
    const std::vector<Placed> sightings = {
        placed(1, "s.test", "10.0.0.9", 50), placed(2, "s.test", "10.0.0.2", 7), placed(1, "s.test", "10.0.0.1", 20),
        placed(1, "s.test", "10.0.0.3", 20), placed(2, "s.test", "10.0.0.4", 70)};
    const auto rows = TLSKeyInventory::rows(sightings, TLSKeyIndex(), std::nullopt);
    ASSERT_EQ(rows.size(), 2u);
    // Sorted by address: random 1 now lives at 10.0.0.1 (packet 20, the first of the two 20s).
    EXPECT_EQ(rows[0].serverAddress, "10.0.0.1:443");
    EXPECT_EQ(rows[0].firstPacketId, 20);
    EXPECT_EQ(rows[0].id(), Data::fromString(test::randomBytes(1)));
    EXPECT_EQ(rows[1].serverAddress, "10.0.0.2:443");
    EXPECT_EQ(rows[1].firstPacketId, 7);
    EXPECT_FALSE(rows[0].decryptionOutcome);
}

TEST(TLSKeyInventory, SortsByServerNameThenAddressStably) {
    const std::vector<Placed> sightings = {
        placed(1, "b.test", "10.0.0.1", 1), placed(2, std::nullopt, "10.0.0.9", 2), placed(3, "a.test", "10.0.0.2", 3, 8443),
        placed(4, "a.test", "10.0.0.10", 4), placed(5, "", "10.0.0.5", 5), placed(6, "a.test", "10.0.0.10", 6)};
    const auto rows = TLSKeyInventory::rows(sightings, TLSKeyIndex(), std::nullopt);
    std::vector<std::string> order;
    for (const auto& row : rows) order.push_back(row.serverName.value_or("-") + "@" + row.serverAddress);
    // No name and "" compare equal and then by address; "10.0.0.10" < "10.0.0.2" as plain text.
    EXPECT_EQ(order, (std::vector<std::string>{"@10.0.0.5:443", "-@10.0.0.9:443", "a.test@10.0.0.10:443", "a.test@10.0.0.10:443",
                                               "a.test@10.0.0.2:8443", "b.test@10.0.0.1:443"}));
    EXPECT_EQ(rows[2].firstPacketId, 4);  // equal keys keep their order
    EXPECT_EQ(rows[3].firstPacketId, 6);
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
    const auto& m = rows[0].matches;
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0], (TLSKeyMatch{kFile, false, {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET"},
                                 {keyLine("CLIENT_HANDSHAKE_TRAFFIC_SECRET", 1), keyLine("SERVER_HANDSHAKE_TRAFFIC_SECRET", 1)}}));
    EXPECT_EQ(m[1].source, kTrace);
    EXPECT_TRUE(m[1].isCurrentTrace);
    EXPECT_EQ(m[1].labels, (std::vector<std::string>{"CLIENT_RANDOM", "CLIENT_HANDSHAKE_TRAFFIC_SECRET"}));
    EXPECT_EQ(m[2].source, kOtherTrace);
    EXPECT_FALSE(m[2].isCurrentTrace);
    EXPECT_EQ(rows[0].allLabels(), (std::vector<std::string>{"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET",
                                                             "CLIENT_RANDOM"}));
    // Lines held by several sources are listed once: the first CLIENT_HANDSHAKE_TRAFFIC_SECRET and CLIENT_RANDOM.
    EXPECT_EQ(rows[0].allLines(), (std::vector<std::string>{keyLine("CLIENT_HANDSHAKE_TRAFFIC_SECRET", 1),
                                                            keyLine("SERVER_HANDSHAKE_TRAFFIC_SECRET", 1), keyLine("CLIENT_RANDOM", 1)}));
    EXPECT_EQ(rows[0].serverAddress, "::1:443");

    const auto withoutTrace = TLSKeyInventory::rows(sightings, index, std::nullopt);
    for (const auto& match : withoutTrace[0].matches) EXPECT_FALSE(match.isCurrentTrace);
    const auto userFileNamedLikeTheTrace = TLSKeyInventory::rows(sightings, index, kFile.detail());
    for (const auto& match : userFileNamedLikeTheTrace[0].matches) EXPECT_FALSE(match.isCurrentTrace);
}

TEST(TLSKeyCompleteness, ListsTheLabelsStillNeeded) {
    const std::vector<std::string> all13(TLSKeyCompleteness::tls13RequiredLabels.begin(), TLSKeyCompleteness::tls13RequiredLabels.end());
    struct Case {
        std::vector<std::string> labels;
        std::vector<std::string> missing;
    } cases[] = {
        {{}, all13},
        {{"CLIENT_RANDOM"}, {}},
        {{"EXPORTER_SECRET", "CLIENT_RANDOM"}, {}},
        {{"SERVER_HANDSHAKE_TRAFFIC_SECRET", "CLIENT_HANDSHAKE_TRAFFIC_SECRET"}, {"CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"}},
        {{"SERVER_TRAFFIC_SECRET_0", "EXPORTER_SECRET"},
         {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET", "CLIENT_TRAFFIC_SECRET_0"}},
        {all13, {}},
        {{"client_random"}, all13},
    };
    for (const auto& c : cases) EXPECT_EQ(TLSKeyCompleteness::missingLabels(c.labels), c.missing);
}

TLSSessionKeyRow rowWith(std::vector<std::string> labels, std::optional<TLSDecryptionOutcome> outcome = std::nullopt) {
    TLSSessionKeyRow row;
    row.clientRandom = Data::fromString(test::randomBytes(1));
    if (!labels.empty()) row.matches.push_back(TLSKeyMatch{kFile, false, labels, labels});
    return row.with(outcome);
}

TEST(TLSSessionStatus, ResolversGiveTheStatusOfEachRow) {
    const auto decrypted = TLSDecryptionOutcome::decrypted();
    auto notDecrypted = [](Failure f) { return std::optional(TLSDecryptionOutcome::notDecrypted(f)); };
    const std::vector<std::string> handshakeOnly = {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET"};
    struct Case {
        const char* name;
        TLSSessionKeyRow row;
        TLSSessionStatus canonical;
        TLSSessionStatus keysOnly;
    } cases[] = {
        {"TLS 1.2 master secret", rowWith({"CLIENT_RANDOM"}), TLSSessionStatus::keysComplete(), TLSSessionStatus::keysComplete()},
        {"TLS 1.3 handshake secrets only", rowWith(handshakeOnly),
         TLSSessionStatus::keysIncomplete({"CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"}),
         TLSSessionStatus::keysIncomplete({"CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"})},
        {"no entries", rowWith({}), TLSSessionStatus::noKeyMaterial(), TLSSessionStatus::noKeyMaterial()},
        {"no entries, key mismatch", rowWith({}, notDecrypted(Failure::keyMismatch)), TLSSessionStatus::failed(Failure::keyMismatch),
         TLSSessionStatus::noKeyMaterial()},
        {"no entries, no key material", rowWith({}, notDecrypted(Failure::noKeyMaterial)), TLSSessionStatus::noKeyMaterial(),
         TLSSessionStatus::noKeyMaterial()},
        {"complete keys, decrypted", rowWith({"CLIENT_RANDOM"}, decrypted), TLSSessionStatus::decrypted(),
         TLSSessionStatus::keysComplete()},
        {"complete keys, record decryption failed", rowWith({"CLIENT_RANDOM"}, notDecrypted(Failure::recordDecryptionFailed)),
         TLSSessionStatus::failed(Failure::recordDecryptionFailed), TLSSessionStatus::keysComplete()},
        {"incomplete keys, decrypted anyway", rowWith(handshakeOnly, decrypted), TLSSessionStatus::decrypted(),
         TLSSessionStatus::keysIncomplete({"CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"})},
    };
    const KeyCompletenessStatusResolver keysOnly;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.row.status(), c.canonical);
        EXPECT_EQ(TLSSessionStatusResolution::canonical().status(c.row), c.canonical);
        EXPECT_EQ(keysOnly.status(c.row), c.keysOnly);
        EXPECT_EQ(c.row.with(std::nullopt).status(), c.keysOnly);
    }
    EXPECT_EQ(&TLSSessionStatusResolution::canonical(), &TLSSessionStatusResolution::canonical());
}

TEST(TLSKeySummary, CountsRowsByStatus) {
    const std::vector<TLSSessionKeyRow> rows = {
        rowWith({"CLIENT_RANDOM"}),
        rowWith({"CLIENT_RANDOM"}, TLSDecryptionOutcome::decrypted()),
        rowWith({"CLIENT_HANDSHAKE_TRAFFIC_SECRET"}),
        rowWith({}, TLSDecryptionOutcome::notDecrypted(Failure::keyMismatch)),  // failed: keyed, though it has no match
        rowWith({}),
        rowWith({}, TLSDecryptionOutcome::notDecrypted(Failure::noKeyMaterial)),
    };
    const TLSKeySummary canonical(rows);
    EXPECT_EQ(canonical.total, 6);
    EXPECT_EQ(canonical.keyed, 4);
    EXPECT_EQ(canonical.complete, 2);
    EXPECT_EQ(canonical.incomplete, 2);
    EXPECT_EQ(canonical.noKey, 2);

    const TLSKeySummary keysOnly(rows, KeyCompletenessStatusResolver());
    EXPECT_EQ(keysOnly.total, 6);
    EXPECT_EQ(keysOnly.keyed, 3);
    EXPECT_EQ(keysOnly.complete, 2);
    EXPECT_EQ(keysOnly.incomplete, 1);
    EXPECT_EQ(keysOnly.noKey, 3);
    EXPECT_EQ(TLSKeySummary(std::span<const TLSSessionKeyRow>()), TLSKeySummary());
    EXPECT_NE(TLSKeySummaryHash{}(canonical), TLSKeySummaryHash{}(keysOnly));
}

}  // namespace
}  // namespace qor
