// qor tls FILE [--keylog K]... [--decrypt] [--json]: every TLS session of a capture, one row per
// client random, with the key material known for it and, with --decrypt, whether its records
// decrypt; then the counts by status.

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <nlohmann/json.hpp>
#include <unordered_map>
#include <unordered_set>

#include "CaptureSnapshots.hpp"
#include "Command.hpp"
#include "PluginSetup.hpp"
#include "QORCommonTools/QORAnalyzingUtilities.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/support/ObservedParallelFor.hpp"
#include "QORModels/tls/TLSDecryptionProbeRegistry.hpp"
#include "QORModels/tls/TLSKeyInventory.hpp"
#include "QORModels/tls/TLSKeySummary.hpp"
#include "QORModels/tls/TLSStreamScanner.hpp"
#include "TLSKeys.hpp"

namespace qor::cli {
namespace {

struct Options {
    std::string file;
    std::vector<std::string> keylogs;
    bool decrypt = false;
    bool json = false;
};

std::string hex(const Data& bytes) { return QORAnalyzingUtilities::hexStringFromData(bytes, false); }

/// A TLS version code as people name it: "TLS 1.2", "TLS 1.3 (draft 28)", "GREASE 0x7a7a", or the
/// code in hexadecimal for one nobody named.
std::string versionName(std::uint16_t version) {
    switch (version) {
        case 0x0300: return "SSL 3.0";
        case 0x0301: return "TLS 1.0";
        case 0x0302: return "TLS 1.1";
        case 0x0303: return "TLS 1.2";
        case 0x0304: return "TLS 1.3";
        default: break;
    }
    if ((version & 0x0F0F) == 0x0A0A && (version >> 12) == ((version >> 4) & 0xF)) return fmt::format("GREASE 0x{:04x}", version);
    if ((version >> 8) == 0x7F) return fmt::format("TLS 1.3 (draft {})", version & 0xFF);
    return fmt::format("0x{:04x}", version);
}

/// The status case as the JSON output names it.
const char* statusName(const TLSSessionStatus& status) {
    switch (status.kind()) {
        case TLSSessionStatus::Case::decrypted: return "decrypted";
        case TLSSessionStatus::Case::keysComplete: return "keysComplete";
        case TLSSessionStatus::Case::keysIncomplete: return "keysIncomplete";
        case TLSSessionStatus::Case::failed: return "failed";
        case TLSSessionStatus::Case::noKeyMaterial: return "noKeyMaterial";
    }
    return "noKeyMaterial";
}

/// The sessions of the capture: each stream's ClientHellos with where they were seen, and, with
/// --decrypt, the probe's outcome for each client random at its earliest stream. Streams are
/// scanned as the reassembler hands them over (in order of first packet) and dropped; the
/// streams to probe wait in batches of `kProbeBatch` that are probed on all cores.
struct Scan {
    std::vector<TLSKeyInventory::PlacedSighting> sightings;
    std::unordered_map<std::string, TLSDecryptionOutcome> outcomes;  ///< by raw client random
};

constexpr std::size_t kProbeBatch = 128;

Scan scan(TCPSegmentGroups segments, bool decrypt) {
    Scan result;
    auto probe = decrypt ? TLSDecryptionProbeRegistry::shared().currentProbe() : nullptr;
    if (decrypt && !probe) throw noTLSProbe();
    struct Pending {
        TCPStream stream;
        std::vector<std::string> randoms;  ///< the sessions whose earliest stream this is
        std::optional<TLSDecryptionOutcome> outcome;
    };
    std::vector<Pending> pending;
    auto probeAll = [&] {
        observedParallelForEach(pending.size(), [&](std::size_t i) { pending[i].outcome = probe->probe(pending[i].stream); });
        for (auto& p : pending)
            for (auto& random : p.randoms) result.outcomes.insert_or_assign(std::move(random), *p.outcome);
        pending.clear();
    };
    std::unordered_set<std::string> claimed;  // client randoms whose earliest stream is known
    TCPStreamReassembler::forEachStreamOffMain(std::move(segments), [&](TCPStream&& stream) {
        auto found = TLSStreamScanner::sightings(stream);
        if (found.empty()) return true;
        if (probe) {
            std::vector<std::string> randoms;
            for (const auto& [sighting, placement] : found) {
                std::string random = sighting.clientRandom.toString();
                if (claimed.insert(random).second) randoms.push_back(std::move(random));
            }
            if (!randoms.empty()) pending.push_back(Pending{std::move(stream), std::move(randoms), std::nullopt});
            if (pending.size() == kProbeBatch) probeAll();
        }
        for (auto& pair : found) result.sightings.push_back(std::move(pair));
        return true;
    });
    if (probe) probeAll();
    return result;
}

void print(const std::vector<TLSSessionKeyRow>& rows, const TLSKeySummary& summary, bool json, bool decrypted) {
    std::string out;
    if (json) {
        nlohmann::ordered_json sessions = nlohmann::ordered_json::array();
        for (const auto& row : rows) {
            const auto status = row.status();
            nlohmann::ordered_json o{{"clientRandom", hex(row.clientRandom)},
                                     {"serverName", row.serverName ? nlohmann::ordered_json(*row.serverName) : nlohmann::ordered_json()},
                                     {"alpnProtocols", row.alpnProtocols},
                                     {"offeredVersions", row.offeredVersions},
                                     {"serverAddress", row.serverAddress},
                                     {"firstPacketId", row.firstPacketId},
                                     {"status", statusName(status)},
                                     {"missingLabels", status.missingLabels()}};
            if (status.failure()) o["failure"] = rawValue(*status.failure());
            sessions.push_back(std::move(o));
        }
        nlohmann::ordered_json doc{{"sessions", std::move(sessions)},
                                   {"summary", {{"total", summary.total}, {"keyed", summary.keyed}, {"complete", summary.complete},
                                                {"incomplete", summary.incomplete}, {"noKey", summary.noKey}}}};
        out = doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    } else {
        out = fmt::format("{:<64}  {:<28}  {:<16}  {:<26}  {:<28}  {:>8}  {}\n", "client random", "server name", "ALPN",
                          "offered versions", "server", "packet", "status");
        for (const auto& row : rows) {
            std::vector<std::string> versions;
            for (auto v : row.offeredVersions) versions.push_back(versionName(v));
            out += fmt::format("{:<64}  {:<28}  {:<16}  {:<26}  {:<28}  {:>8}  {}\n", hex(row.clientRandom), row.serverName.value_or("-"),
                               row.alpnProtocols.empty() ? "-" : fmt::format("{}", fmt::join(row.alpnProtocols, ",")),
                               fmt::format("{}", fmt::join(versions, ",")),
                               row.serverAddress, row.firstPacketId, row.status().description());
        }
        out += fmt::format("{} TLS session{}: {} with keys ({} complete, {} incomplete), {} without", summary.total,
                           summary.total == 1 ? "" : "s", summary.keyed, summary.complete, summary.incomplete, summary.noKey);
        if (decrypted) {
            std::int64_t decryptedCount = 0, failedCount = 0;
            for (const auto& row : rows) {
                const auto kind = row.status().kind();
                decryptedCount += kind == TLSSessionStatus::Case::decrypted;
                failedCount += kind == TLSSessionStatus::Case::failed;
            }
            out += fmt::format("; {} decrypted, {} failed", decryptedCount, failedCount);
        }
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

void run(const Options& options) {
    activateAnalyzers();
    // The capture is read in one streamed pass that keeps only its TCP segments; its own key store
    // is known once the read is done, before any stream is scanned or probed.
    auto [facts, segments] = gatherConversations<TCPSegmentGroups>(
        options.file, [](const auto& snapshots) { return TCPStreamReassembler::extractSegments(snapshots); });
    const KeyMaterial keys = publishKeyMaterial(facts, options.keylogs);
    Scan found = scan(std::move(segments), options.decrypt);
    auto rows = TLSKeyInventory::rows(found.sightings, *keys.index, keys.traceFingerprint);
    if (options.decrypt) {
        for (auto& row : rows) {
            auto it = found.outcomes.find(row.clientRandom.toString());
            if (it != found.outcomes.end()) row = row.with(it->second);
        }
    }
    print(rows, TLSKeySummary(rows), options.json, options.decrypt);
    reportReadIssue(facts);
    reportKeyLogIssue(keys);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* sub = app.add_subcommand("tls", "List the TLS sessions of a capture with the key material known for each");
    auto options = std::make_shared<Options>();
    sub->add_option("FILE", options->file, "Capture file (pcap or pcapng)")->required();
    sub->add_option("--keylog", options->keylogs, "An NSS key-log file (SSLKEYLOGFILE) to use besides the capture's own keys; may repeat")->allow_extra_args(false);
    sub->add_flag("--decrypt", options->decrypt, "Try to decrypt every session and show the outcome");
    sub->add_flag("--json", options->json, "Print one JSON object: {\"sessions\": [...], \"summary\": {...}}");
    sub->callback([options] { run(*options); });
}};

}  // namespace
}  // namespace qor::cli
