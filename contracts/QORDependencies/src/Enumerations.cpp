#include "QORDependencies/Enumerations.hpp"

namespace qor {

std::optional<kQORSourceProtocols> sourceProtocolFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 3) return std::nullopt;
    return static_cast<kQORSourceProtocols>(raw);
}

std::string_view sourceProtocolText(kQORSourceProtocols p) {
    switch (p) {
        case kQORSourceProtocols::none: return "NONE";
        case kQORSourceProtocols::tcp: return "TCP";
        case kQORSourceProtocols::udp: return "UDP";
        case kQORSourceProtocols::all: return "ALL";
    }
    return "NONE";
}

std::optional<kQORSourceProtocols> sourceProtocolFromText(std::string_view text) {
    for (auto p : {kQORSourceProtocols::none, kQORSourceProtocols::tcp, kQORSourceProtocols::udp, kQORSourceProtocols::all}) {
        if (sourceProtocolText(p) == text) return p;
    }
    return std::nullopt;
}

std::string_view rawValue(QORProtocolKonstants k) {
    switch (k) {
        case QORProtocolKonstants::kQORPlugInName: return "com.orvaleth.qor.plugInName";
        case QORProtocolKonstants::kQORColumnIdentifier: return "com.orvaleth.qor.columnIdentifier";
        case QORProtocolKonstants::kQORValueType: return "com.orvaleth.qor.valueType";
        case QORProtocolKonstants::kQORPacketTableRefresh: return "com.orvaleth.qor.packetTableRefresh";
        case QORProtocolKonstants::kQORFontConsoleRaw: return "com.orvaleth.qor.fontConsoleRaw";
        case QORProtocolKonstants::kQORFontProtocolDetails: return "com.orvaleth.qor.fontProtocolDetails";
        case QORProtocolKonstants::kQORFontDataSourcesList: return "com.orvaleth.qor.fontDataSourcesList";
        case QORProtocolKonstants::kQORFontDataSourcesHead: return "com.orvaleth.qor.fontDataSourcesHead";
        case QORProtocolKonstants::kQORFontProtocolStatistics: return "com.orvaleth.qor.fontProtocolStatistics";
        case QORProtocolKonstants::kQORClearAnalyzingCache: return "com.orvaleth.qor.clearAnalyzingCache";
    }
    return "";
}

std::string_view rawValue(AttributeValueType t) {
    switch (t) {
        case AttributeValueType::string: return "string";
        case AttributeValueType::int64: return "int64";
        case AttributeValueType::uint32: return "uint32";
        case AttributeValueType::uint16: return "uint16";
        case AttributeValueType::uint8: return "uint8";
        case AttributeValueType::double_: return "double";
        case AttributeValueType::bool_: return "bool";
        case AttributeValueType::data: return "data";
    }
    return "string";
}

QORErrorException::QORErrorException(QORError code, std::string message)
    : std::runtime_error(message.empty() ? "QORError " + std::to_string(static_cast<int>(code)) : message), code_(code) {}

}  // namespace qor
