// Reading key-log texts into the key index, reporting the lines and files that cannot be used.

#include "QORModels/tls/TLSKeyIndexBuilder.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_set>

#include "QORCommonTools/Keylog.hpp"
#include "QORCommonTools/TextHelpers.hpp"

namespace qor {
namespace {

constexpr std::size_t kQuotedBytes = 48;
constexpr std::size_t kClientRandomDigits = 64;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool isHexDigit(char c) { return hexDigitValue(c) >= 0; }
bool isLabelCharacter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }

std::string_view trimmedLine(std::string_view line) {
    while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
    while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
    return line;
}

bool allOf(std::string_view text, bool (*test)(char)) {
    for (char c : text)
        if (!test(c)) return false;
    return true;
}

/// What is wrong with a key-log line split into its fields, or nothing when it is well formed.
std::optional<std::string> fieldsProblem(const KeylogFields& fields);

/// The line's first bytes in quotes, printable ASCII only, with its length when cut.
std::string quoted(std::string_view line) {
    std::string text = "\"";
    for (char c : line.substr(0, kQuotedBytes)) text += (c >= 0x20 && c < 0x7f) ? c : '.';
    text += "\"";
    if (line.size() > kQuotedBytes) text += "... (" + std::to_string(line.size()) + " bytes)";
    return text;
}

/// Reads key-log texts of several sources into one index, each line of a source once.
class IndexWriter {
public:
    void addText(std::string_view text, const KeylogSource& source, const std::string& origin, std::size_t sourceNumber) {
        if (sourceNumber != currentSource_) {
            currentSource_ = sourceNumber;
            seen_.clear();
        }
        std::size_t lineNumber = 0;
        for (std::size_t start = 0;;) {
            const std::size_t newline = text.find('\n', start);
            addLine(text.substr(start, newline == std::string_view::npos ? std::string_view::npos : newline - start), source,
                    origin, ++lineNumber);
            if (newline == std::string_view::npos) break;
            start = newline + 1;
        }
    }

    void fileProblem(const std::string& origin, std::string message) {
        result.problems.push_back({origin, std::nullopt, std::move(message)});
    }

    TLSKeyIndexBuilder::Result result;

private:
    void addLine(std::string_view raw, const KeylogSource& source, const std::string& origin, std::size_t lineNumber) {
        const std::string_view line = trimmedLine(raw);
        if (line.empty() || line.front() == '#') return;
        const KeylogFields fields = KeylogFields::of(line);
        if (auto problem = fieldsProblem(fields)) {
            result.problems.push_back({origin, lineNumber, *problem + " in " + quoted(raw)});
            return;
        }
        if (!seen_.emplace(line).second) return;
        result.index.add(KeylogEntry{std::string(line), std::string(fields.label), source});
    }

    std::size_t currentSource_ = static_cast<std::size_t>(-1);
    std::unordered_set<std::string> seen_;
};

/// The file's bytes, or the reason it cannot be read.
std::optional<std::string> readText(const std::filesystem::path& path, std::string& reason) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        reason = "cannot read the key-log file: it is a folder";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = std::string("cannot read the key-log file: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        reason = "cannot read the key-log file: a read failed";
        return std::nullopt;
    }
    return std::move(content).str();
}

}  // namespace

std::string TLSKeyLogProblem::description() const {
    return origin + (lineNumber ? ":" + std::to_string(*lineNumber) : std::string()) + ": " + message;
}

std::optional<std::string> TLSKeyIndexBuilder::lineProblem(std::string_view line) {
    line = trimmedLine(line);
    if (line.empty() || line.front() == '#') return std::nullopt;
    return fieldsProblem(KeylogFields::of(line));
}

namespace {

std::optional<std::string> fieldsProblem(const KeylogFields& fields) {
    if (fields.count != 3)
        return "malformed key-log line: expected LABEL CLIENT_RANDOM SECRET, found " + std::to_string(fields.count) + " field(s)";
    if (!allOf(fields.label, isLabelCharacter)) return std::string("malformed key-log line: the label is not letters, digits and \"_\"");
    if (fields.clientRandom.size() != kClientRandomDigits || !allOf(fields.clientRandom, isHexDigit))
        return std::string("malformed key-log line: the client random is not 64 hexadecimal digits");
    if (fields.secret.size() % 2 != 0 || !allOf(fields.secret, isHexDigit))
        return std::string("malformed key-log line: the secret is not an even number of hexadecimal digits");
    return std::nullopt;
}

}  // namespace

TLSKeyIndexBuilder::Result TLSKeyIndexBuilder::build(std::span<const std::filesystem::path> keyLogFiles,
                                                     const std::optional<std::string>& traceFingerprint,
                                                     std::span<const std::string> embeddedSecrets) {
    IndexWriter writer;
    std::size_t sourceNumber = 0;
    for (const auto& path : keyLogFiles) {
        const std::string origin = path.string();
        std::string reason;
        if (auto text = readText(path, reason))
            writer.addText(*text, KeylogSource::userFile(origin), origin, sourceNumber);
        else
            writer.fileProblem(origin, std::move(reason));
        ++sourceNumber;
    }

    const auto trace = KeylogSource::frozenTrace(traceFingerprint.value_or(""));
    if (traceFingerprint) {
        const auto store = KeylogLocations::traceEntry(*traceFingerprint);
        std::error_code ec;
        if (std::filesystem::exists(store, ec)) {
            std::string reason;
            if (auto text = readText(store, reason))
                writer.addText(*text, trace, store.string(), sourceNumber);
            else
                writer.fileProblem(store.string(), std::move(reason));
        }
    }
    for (std::size_t i = 0; i < embeddedSecrets.size(); ++i)
        writer.addText(embeddedSecrets[i], trace, "decryption secrets block " + std::to_string(i + 1), sourceNumber);
    return std::move(writer.result);
}

}  // namespace qor
