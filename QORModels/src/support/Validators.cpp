// Port-list and e-mail validators.

#include "QORModels/support/Validators.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <regex>
#include <set>

#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/analysis/QORPortsController.hpp"

namespace qor {
namespace {

constexpr std::int64_t kMinPort = 1;
constexpr std::int64_t kMaxPort = 65535;
/// Values above this become "65535" in the range validator (65535 is no service port).
constexpr std::uint64_t kMaxRangePort = 65534;
constexpr const char* kReplacementPort = "65535";

std::vector<std::string_view> splitCommas(std::string_view text) {
    std::vector<std::string_view> out;
    for (;;) {
        auto comma = text.find(',');
        out.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return out;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) {
        if (!out.empty()) out += ',';
        out += p;
    }
    return out;
}

std::optional<std::string> ownerOf(std::uint16_t port, kQORSourceProtocols source) {
    return QORPortsController::sharedPortsController()->analyzerProtocolForPort(port, rawValue(source));
}

}  // namespace

std::optional<std::int64_t> parsePortToken(std::string_view token) {
    bool negative = false;
    if (!token.empty() && (token.front() == '+' || token.front() == '-')) {
        negative = token.front() == '-';
        token.remove_prefix(1);
    }
    if (token.empty() || !std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), magnitude);
    if (ec != std::errc{} || end != token.data() + token.size()) return std::nullopt;
    constexpr std::uint64_t kMaxPositive = static_cast<std::uint64_t>(INT64_MAX);
    if (negative) {
        if (magnitude > kMaxPositive + 1) return std::nullopt;
        return magnitude == kMaxPositive + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > kMaxPositive) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

std::string PortCorrection::message() const {
    struct Visitor {
        std::string operator()(const invalid& c) const { return "\u2018" + c.token + "\u2019 is not a valid port"; }
        std::string operator()(const outOfRange& c) const { return "Port " + c.token + " is out of range \u2192 " + c.replacement; }
        std::string operator()(const duplicate& c) const { return "Removed duplicate port " + c.port; }
        std::string operator()(const usedByOtherAnalyzer& c) const { return "Port " + c.port + " is already used by " + c.owner; }
    };
    return std::visit(Visitor{}, kind);
}

bool EmailValidator::validate(const std::optional<std::string>& input, const std::optional<std::string>&) {
    if (!input) return false;
    static const std::regex pattern("[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,64}");
    return std::regex_match(*input, pattern);
}

std::string PortRangeValidator::validate(const std::optional<std::string>& input, const std::optional<std::string>&) {
    if (!input) return {};
    std::vector<std::string> out;
    for (auto token : splitCommas(*input)) {
        auto value = parsePortToken(token);
        if (!value) continue;
        // Read as unsigned 64-bit, so negative values are huge and become 65535 too.
        if (static_cast<std::uint64_t>(*value) > kMaxRangePort) {
            out.emplace_back(kReplacementPort);
        } else {
            out.push_back(std::to_string(*value));
        }
    }
    return joined(out);
}

std::int64_t PortOccurencesValidator::validate(const std::optional<std::string>& input, const std::optional<std::string>& token) {
    if (!input || !token) throw QORErrorException(QORError::missingInput, "port list or token missing");
    auto parts = splitCommas(*input);
    return std::count(parts.begin(), parts.end(), std::string_view(*token));
}

PortValidationResult NetworkPortsValidator::validateReporting(const QORNetworkProtocol& input) {
    PortValidationResult result;
    std::set<std::int64_t> accepted;
    std::vector<std::string> ports;
    for (auto raw : splitCommas(input.protocolPorts)) {
        std::string token(trimmed(raw));
        if (token.empty()) continue;
        auto value = parsePortToken(token);
        if (!value) {
            result.corrections.push_back({PortCorrection::invalid{token}});
            continue;
        }
        std::int64_t port = *value;
        if (port < kMinPort || port > kMaxPort) {
            result.corrections.push_back({PortCorrection::outOfRange{token, kReplacementPort}});
            port = kMaxPort;
        }
        if (accepted.contains(port)) {
            result.corrections.push_back({PortCorrection::duplicate{std::to_string(port)}});
            continue;
        }
        auto owner = ownerOf(static_cast<std::uint16_t>(port), input.sourceProtocol);
        if (owner && *owner != input.protocolName) {
            result.corrections.push_back({PortCorrection::usedByOtherAnalyzer{std::to_string(port), *owner}});
            continue;
        }
        accepted.insert(port);
        ports.push_back(std::to_string(port));
    }
    result.ports = joined(ports);
    return result;
}

std::string NetworkPortsValidator::validate(const std::optional<QORNetworkProtocol>& input, const std::optional<std::string>& existing) {
    if (!input) throw QORErrorException(QORError::missingInput, "no protocol given");
    // The list must be made of numbers: digits, with the signs, commas and blanks between them.
    std::string digits;
    for (char c : input->protocolPorts) {
        if (c != ',' && c != ' ' && c != '+' && c != '-') digits += c;
    }
    if (!isNumber(digits)) throw QORErrorException(QORError::invalidPortList, "not a port list: " + input->protocolPorts);

    std::string cleaned = PortRangeValidator::validate(input->protocolPorts);
    std::vector<std::string> kept;
    auto tokens = splitCommas(cleaned);
    if (cleaned.empty()) tokens.clear();
    if (existing) {
        for (auto it = tokens.rbegin(); it != tokens.rend(); ++it) {
            try {
                if (PortOccurencesValidator::validate(*existing, std::string(*it)) <= 1) kept.emplace_back(*it);
            } catch (const QORErrorException& e) {
                std::fprintf(stderr, "%s\n", e.what());
            }
        }
        std::reverse(kept.begin(), kept.end());
    } else {
        for (auto t : tokens) kept.emplace_back(t);
    }
    std::vector<std::int64_t> numbers;
    for (const auto& t : kept) {
        if (auto v = parsePortToken(t)) numbers.push_back(*v);
    }
    std::vector<std::int64_t> owned;
    for (auto port : numbers) {
        if (port < 0 || port > kMaxPort) continue;
        auto owner = ownerOf(static_cast<std::uint16_t>(port), input->sourceProtocol);
        if (owner && *owner != input->protocolName) owned.push_back(port);
    }
    std::vector<std::string> out;
    for (auto port : numbers) {
        if (std::find(owned.begin(), owned.end(), port) == owned.end()) out.push_back(std::to_string(port));
    }
    return joined(out);
}

}  // namespace qor
