#pragma once
// The records through which plug-ins describe themselves.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "QORDependencies/Enumerations.hpp"
#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORPlatform/UUID.hpp"
#include "QORPlatform/Value.hpp"

namespace qor {

class QORPluginPrincipalClass;
class QORPluginPreferencesProtocol;

/// One protocol that a plug-in analyses, and how the chain reaches it: by port (with the
/// transport in `sourceProtocol`), by ether type or by link type. `size` is its fixed header
/// size, when it has one.
struct QORPlugInNetworkProtocol {
    UUID id;
    std::string protocolName;
    std::vector<std::int64_t> protocolPorts;
    kQORSourceProtocols sourceProtocol = kQORSourceProtocols::none;
    std::optional<std::uint32_t> ethertype;
    std::optional<std::uint32_t> linktype;
    std::optional<std::uint32_t> size;
};

/// A value that an analyzer offers by key: for filters, columns and the packet's key lookup.
/// `attributeOffset`/`attributeLength` locate its bytes from the start of the analyzer's header.
struct QORPlugInAnalyzerAttribute {
    AnalyzerClassRef plugInAnalyzerClass;
    std::string attributeTitle;
    std::string attributeKey;
    AttributeValueType attributeType = AttributeValueType::string;
    std::uint32_t attributeOffset = 0;
    std::uint32_t attributeLength = 0;
};

/// A packet-table column that a plug-in offers. `predicateOptions` hold the display name under
/// `NSDisplayNameBindingOption`, the predicate format under `NSPredicateFormatBindingOption` and
/// the value type under `rawValue(QORProtocolKonstants::kQORValueType)`.
struct QORPlugInColumn {
    std::string columnTitle;
    std::string keyPath;
    std::map<std::string, Value> bindingOptions;
    std::map<std::string, Value> predicateOptions;
};

/// Everything a plug-in registers.
struct QORPlugInStructure {
    UUID id;
    std::string plugInTitle;
    std::string plugInDescription;
    std::string plugInVersion;
    std::string plugInAuthor;
    std::shared_ptr<const QORPluginPrincipalClass> plugInPrincipalClass;
    std::shared_ptr<NSObject> plugInPreferencesInstance;
    AnalyzerClassRef plugInAnalyzerClass;
    std::vector<QORPlugInAnalyzerAttribute> plugInAnalyzerAttributes;
    std::vector<QORPlugInNetworkProtocol> plugInTargetProtocols;
    std::vector<QORPlugInColumn> plugInColumnKeyBindings;
};

/// A user's port assignment for one analyzer protocol, as the preferences store it.
/// JSON keys: "protocolName", "protocolPorts" (comma-separated text), "sourceProtocol" (the
/// raw value as an integer).
struct QORNetworkProtocol {
    std::string protocolName;
    std::string protocolPorts;
    kQORSourceProtocols sourceProtocol = kQORSourceProtocols::none;
    friend bool operator==(const QORNetworkProtocol&, const QORNetworkProtocol&) = default;
};

void to_json(nlohmann::json& j, const QORNetworkProtocol& p);
void from_json(const nlohmann::json& j, QORNetworkProtocol& p);

}  // namespace qor
