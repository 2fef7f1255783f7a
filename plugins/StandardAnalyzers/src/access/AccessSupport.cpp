// Building blocks shared by the access-network and application analyzers.

#include "access/AccessSupport.hpp"

#include <algorithm>
#include <cstdio>

namespace qor::standard::access {

std::optional<std::string_view> findCodeName(std::span<const CodeName> table, std::uint32_t code) {
    for (const auto& entry : table)
        if (entry.code == code) return entry.name;
    return std::nullopt;
}

std::string namedCode(std::span<const CodeName> table, std::uint32_t code) {
    auto name = findCodeName(table, code);
    if (!name) return std::to_string(code);
    return std::string(*name) + " (" + std::to_string(code) + ")";
}

std::string namedHexCode(std::span<const CodeName> table, std::uint32_t code, int digits) {
    auto name = findCodeName(table, code);
    if (!name) return hexNumber(code, digits);
    return std::string(*name) + " (" + hexNumber(code, digits) + ")";
}

std::string nameOrUnknown(std::span<const CodeName> table, std::uint32_t code) {
    auto name = findCodeName(table, code);
    if (!name) return "Unknown (" + std::to_string(code) + ")";
    return std::string(*name);
}

std::string hexNumber(std::uint64_t value, int digits) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%0*llx", std::clamp(digits, 1, 16), static_cast<unsigned long long>(value));
    return buffer;
}

std::string ipv6Text(std::span<const std::byte> bytes) {
    if (bytes.size() != 16) return {};
    std::uint16_t groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = std::uint16_t((unsigned(bytes[2 * i]) << 8) | unsigned(bytes[2 * i + 1]));
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > bestLength && j - i >= 2) bestStart = i, bestLength = j - i;
        i = j;
    }
    std::string out;
    char buffer[8];
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            out += "::";
            i += bestLength - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':') out += ':';
        std::snprintf(buffer, sizeof buffer, "%x", unsigned(groups[i]));
        out += buffer;
    }
    return out;
}

std::string hexText(std::span<const std::byte> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::size_t shown = std::min(bytes.size(), kMaxShownBytes);
    std::string out;
    out.reserve(shown * 2 + 3);
    for (std::size_t i = 0; i < shown; ++i) {
        auto b = unsigned(bytes[i]);
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    if (shown < bytes.size()) out += "…";
    return out;
}

std::string printableText(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::size_t shown = std::min(text.size(), kMaxShownBytes);
    std::string out;
    out.reserve(shown);
    for (std::size_t i = 0; i < shown; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 0xF];
        }
    }
    if (shown < text.size()) out += "…";
    return out;
}

std::string printableText(std::span<const std::byte> bytes) {
    return printableText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<std::uint64_t> bigEndianNumber(std::span<const std::byte> bytes) {
    if (bytes.empty() || bytes.size() > 8) return std::nullopt;
    std::uint64_t value = 0;
    for (auto b : bytes) value = (value << 8) | unsigned(b);
    return value;
}

std::optional<std::uint64_t> fieldNumber(const Data& data, std::size_t offset, std::size_t length) {
    auto bytes = fieldBytes(data, offset, length);
    if (!bytes) return std::nullopt;
    return bigEndianNumber(bytes->span());
}

std::shared_ptr<QORNode> heading(std::string title, std::optional<std::string> summary, std::size_t length) {
    return field(std::move(title), summary.value_or(""), 0, length);
}

std::shared_ptr<QORNode> addChild(const std::shared_ptr<QORNode>& parent, std::shared_ptr<QORNode> child) {
    parent->addChild(child);
    return child;
}

Value AccessAnalyzer::valueForKey(std::string_view key) const {
    if (key == "protocolName") return Value(protocolName());
    if (key == "protocolInfo") return Value(protocolInfo(data_));
    if (key == "protocolSize") return Value(static_cast<unsigned>(protocolSize()));
    if (key == "nextProtocol") return Value(nextProtocol());
    return NSObject::valueForKey(key);
}

QORPlugInNetworkProtocol etherTypeProtocol(std::string name, std::uint32_t etherType) {
    QORPlugInNetworkProtocol p;
    p.protocolName = std::move(name);
    p.ethertype = etherType;
    return p;
}

QORPlugInNetworkProtocol portProtocol(std::string name, std::vector<std::int64_t> ports, kQORSourceProtocols transport) {
    QORPlugInNetworkProtocol p;
    p.protocolName = std::move(name);
    p.protocolPorts = std::move(ports);
    p.sourceProtocol = transport;
    return p;
}

QORPlugInNetworkProtocol namedProtocol(std::string name) {
    QORPlugInNetworkProtocol p;
    p.protocolName = std::move(name);
    return p;
}

}  // namespace qor::standard::access
