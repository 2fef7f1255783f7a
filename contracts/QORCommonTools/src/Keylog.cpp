#include "QORCommonTools/Keylog.hpp"

#include <cstdlib>
#include <unordered_set>

#include "QORCommonTools/TextHelpers.hpp"
#include "QORPlatform/SearchPaths.hpp"

namespace qor {

KeylogFields KeylogFields::of(std::string_view line) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    KeylogFields fields;
    std::string_view* slots[] = {&fields.label, &fields.clientRandom, &fields.secret};
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && isBlank(line[i])) ++i;
        if (i == line.size()) return fields;
        const std::size_t start = i;
        while (i < line.size() && !isBlank(line[i])) ++i;
        if (fields.count < 3) *slots[fields.count] = line.substr(start, i - start);
        ++fields.count;
    }
}

std::vector<KeylogEntry> KeylogEntry::parse(std::string_view text, const KeylogSource& source) {
    std::vector<KeylogEntry> entries;
    for (auto raw : splitLines(text)) {
        auto line = trimmed(raw);
        if (line.empty() || line.front() == '#') continue;
        auto space = line.find_first_of(" \t");
        entries.push_back({std::string(line), std::string(line.substr(0, space)), source});
    }
    return entries;
}

std::filesystem::path KeylogLocations::root() {
    if (const char* v = std::getenv("QOR_KEYLOG_DIR"); v && *v) return v;
    return userDataDirectory() / "Tessarine" / "Keylogs";
}

bool KeylogLocations::ensureDirectories() {
    std::error_code ec;
    std::filesystem::create_directories(root() / "Traces", ec);
    return !ec;
}

std::filesystem::path KeylogLocations::traceEntry(std::string_view fingerprint) {
    return root() / "Traces" / (std::string(fingerprint) + ".keylog");
}

std::vector<std::string> KeylogMigrator::newLines(std::string_view existing, std::string_view incoming) {
    std::unordered_set<std::string_view> seen;
    for (auto line : splitLines(existing)) seen.insert(trimmed(line));
    std::vector<std::string> out;
    for (auto raw : splitLines(incoming)) {
        auto line = trimmed(raw);
        if (line.empty() || line.front() == '#') continue;
        if (!seen.insert(line).second) continue;
        out.emplace_back(line);
    }
    return out;
}

}  // namespace qor
