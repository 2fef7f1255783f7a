#include "TLSKeys.hpp"

#include <fmt/format.h>

#include "Command.hpp"
#include "QORCommonTools/TraceFingerprint.hpp"
#include "QORModels/tls/TLSKeyIndexBuilder.hpp"

namespace qor::cli {

KeyMaterial publishKeyMaterial(const CaptureFacts& capture, const std::vector<std::string>& keyLogFiles) {
    KeyMaterial keys;
    keys.traceFingerprint = TraceFingerprint::fingerprint(capture.path);
    const std::vector<std::filesystem::path> files(keyLogFiles.begin(), keyLogFiles.end());
    auto built = TLSKeyIndexBuilder::build(files, keys.traceFingerprint, capture.secrets);
    for (const auto& problem : built.problems) {
        fmt::print(stderr, "qor: {}\n", problem.description());
        if (!problem.lineNumber) keys.unreadable.push_back(problem.origin);
    }
    keys.index = std::make_shared<const TLSKeyIndex>(std::move(built.index));
    TLSKeyIndex::publish(keys.index);
    return keys;
}

void reportKeyLogIssue(const KeyMaterial& keys) {
    if (keys.unreadable.empty()) return;
    std::string names;
    for (const auto& name : keys.unreadable) names += (names.empty() ? "" : ", ") + name;
    throw CommandFailure(2, fmt::format("could not read key log {}", names));
}

CommandFailure noTLSProbe() {
    return CommandFailure(1, "no TLS decryption probe is registered (is the standard plug-in installed?)");
}

}  // namespace qor::cli
