// Persisting the user's analyzer port lists.

#include "QORModels/analysis/AnalyzerPortsStore.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "QORPlatform/UserDefaults.hpp"

namespace qor {

std::vector<QORNetworkProtocol> AnalyzerPortsStore::decode(const std::vector<QORNetworkProtocol>& fallback) const {
    auto bytes = defaults_.dataForKey(key_);
    if (!bytes) return fallback;
    std::vector<QORNetworkProtocol> list;
    try {
        list = nlohmann::json::parse(bytes->stringView()).get<std::vector<QORNetworkProtocol>>();
    } catch (const std::exception&) {
        return fallback;
    }
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.protocolName < b.protocolName; });
    return list;
}

void AnalyzerPortsStore::encode(const std::vector<QORNetworkProtocol>& protocols) {
    if (protocols.empty()) return;
    if (std::any_of(protocols.begin(), protocols.end(), [](const auto& p) { return p.protocolPorts.empty(); })) return;
    std::string text;
    try {
        text = nlohmann::json(protocols).dump();
    } catch (const std::exception&) {
        return;
    }
    defaults_.set(key_, Value(Data::fromString(text)));
}

std::string AnalyzerPortsStore::validated(const QORNetworkProtocol& protocol) const {
    if (protocol.protocolPorts.empty()) throw QORErrorException(QORError::emptyPortList, "empty port list");
    return NetworkPortsValidator::validate(protocol, std::nullopt);
}

PortValidationResult AnalyzerPortsStore::validatedReporting(const QORNetworkProtocol& protocol) const {
    if (protocol.protocolPorts.empty()) throw QORErrorException(QORError::emptyPortList, "empty port list");
    return NetworkPortsValidator::validateReporting(protocol);
}

}  // namespace qor
