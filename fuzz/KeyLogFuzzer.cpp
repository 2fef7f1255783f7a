// Fuzz target for building the key index from a key-log text (as a capture's Decryption Secrets
// Block carries it).
//
// Invariants: every problem names a line of the text and its message stays short however long
// the line; every indexed line is well formed and is a line of the text; no more entries and
// problems than lines.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "QORModels/tls/TLSKeyIndexBuilder.hpp"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n';
    // No fingerprint: the embedded text alone, under the trace source with no fingerprint.
    const auto built = qor::TLSKeyIndexBuilder::build({}, std::nullopt, std::vector{text});
    for (const auto& problem : built.problems) {
        check(problem.lineNumber && *problem.lineNumber >= 1 && *problem.lineNumber <= lines);
        check(problem.message.size() < 512);
    }
    // Every client random of the text that the index holds leads to well-formed lines of it.
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = text.find('\n', start);
        const std::string_view line = std::string_view(text).substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (auto random = qor::TLSKeyIndex::clientRandomField(line)) {
            if (const auto* found = built.index.entries({reinterpret_cast<const std::byte*>(random->data()), random->size()})) {
                for (const auto& entry : *found) {
                    check(!qor::TLSKeyIndexBuilder::lineProblem(entry.line));
                    check(text.find(entry.line) != std::string::npos);
                    check(entry.source == qor::KeylogSource::frozenTrace(""));
                }
            }
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    check(built.problems.size() + built.index.size() <= lines);
    return 0;
}
