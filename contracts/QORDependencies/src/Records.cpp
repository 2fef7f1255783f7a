#include "QORDependencies/Records.hpp"

#include <nlohmann/json.hpp>

namespace qor {

void to_json(nlohmann::json& j, const QORNetworkProtocol& p) {
    j = nlohmann::json{{"protocolName", p.protocolName},
                       {"protocolPorts", p.protocolPorts},
                       {"sourceProtocol", static_cast<int>(rawValue(p.sourceProtocol))}};
}

void from_json(const nlohmann::json& j, QORNetworkProtocol& p) {
    p.protocolName = j.at("protocolName").get<std::string>();
    p.protocolPorts = j.at("protocolPorts").get<std::string>();
    auto source = sourceProtocolFromRaw(j.at("sourceProtocol").get<std::int64_t>());
    if (!source) throw nlohmann::json::other_error::create(501, "sourceProtocol out of range", &j);
    p.sourceProtocol = *source;
}

}  // namespace qor
