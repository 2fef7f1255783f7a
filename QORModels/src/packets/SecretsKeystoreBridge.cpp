#include "QORModels/packets/SecretsKeystoreBridge.hpp"

#include <fstream>
#include <iterator>

#include "QORCommonTools/Keylog.hpp"
#include "QORCommonTools/TraceFingerprint.hpp"
#include "QORLog/QORLog.hpp"
#include "QORPlatform/SearchPaths.hpp"

namespace qor {

void bridgeSecretsToKeystore(const std::vector<std::string>& secrets, const std::optional<std::filesystem::path>& fileURL) {
    if (!fileURL || secrets.empty()) return;
    auto fingerprint = TraceFingerprint::fingerprint(*fileURL, TraceFingerprint::defaultFullHashThreshold,
                                                     TraceFingerprint::defaultBlockSize);
    if (!fingerprint) return;
    KeylogLocations::ensureDirectories();
    auto target = KeylogLocations::traceEntry(*fingerprint);
    std::string existing;
    {
        std::ifstream in(target, std::ios::binary);
        if (in) existing.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string incoming;
    for (std::size_t i = 0; i < secrets.size(); ++i) incoming += (i ? "\n" : "") + secrets[i];
    auto lines = KeylogMigrator::newLines(existing, incoming);
    if (lines.empty()) return;
    std::string content = existing;
    if (!content.empty() && content.back() != '\n') content += "\n";
    for (std::size_t i = 0; i < lines.size(); ++i) content += (i ? "\n" : "") + lines[i];
    content += "\n";
    writeFileAtomically(target, content);
    QOR_LOG("QORModels/FileDataToPacketsAsyncStream",
            "pcapng: bridged " + std::to_string(lines.size()) + " DSB key line(s) for " + fileURL->filename().string());
}

}  // namespace qor
