#include "QORModels/packets/SecretsKeystoreBridge.hpp"

#include "QORCommonTools/FileHelpers.hpp"
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
    // The entry is read in place (a key log of a large capture runs to megabytes, and most
    // captures bring no line it lacks), and a single secrets text is compared as it is.
    const std::optional<Data> mapped = mapFile(target);
    const std::string_view existing =
        mapped ? std::string_view(reinterpret_cast<const char*>(mapped->data()), mapped->size()) : std::string_view();
    std::string joined;
    if (secrets.size() > 1) {
        std::size_t size = 0;
        for (const auto& secret : secrets) size += secret.size() + 1;
        joined.reserve(size);
        for (std::size_t i = 0; i < secrets.size(); ++i) (joined += i ? "\n" : "") += secrets[i];
    }
    const std::string_view incoming = secrets.size() > 1 ? std::string_view(joined) : std::string_view(secrets.front());
    auto lines = KeylogMigrator::newLines(existing, incoming);
    if (lines.empty()) return;
    std::string content(existing);
    if (!content.empty() && content.back() != '\n') content += "\n";
    for (std::size_t i = 0; i < lines.size(); ++i) content += (i ? "\n" : "") + lines[i];
    content += "\n";
    writeFileAtomically(target, content);
    QOR_LOG("QORModels/FileDataToPacketsAsyncStream",
            "pcapng: bridged " + std::to_string(lines.size()) + " DSB key line(s) for " + fileURL->filename().string());
}

}  // namespace qor
