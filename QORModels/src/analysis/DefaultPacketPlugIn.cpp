// The built-in packet plug-in and its analyzer.

#include "QORModels/analysis/DefaultPacketPlugIn.hpp"

#include <array>
#include <limits>

#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/Localized.hpp"

namespace qor {
namespace {

/// One packet attribute: its title, key and value type.
struct PacketAttribute {
    const char* title;
    const char* key;
    AttributeValueType type;
};

constexpr std::array<PacketAttribute, 11> kPacketAttributes{{
    {"Packet Id", "packetId", AttributeValueType::string},
    {"Packet Source Address", "packetSourceString", AttributeValueType::string},
    {"Packet Destination Address", "packetDestinationString", AttributeValueType::string},
    {"Packet Source Address Resolved", "packetIPSourceAddress", AttributeValueType::string},
    {"Packet Destination Address Resolved", "packetIPDestinationAddress", AttributeValueType::string},
    {"Packet Protocol History", "packetProtocolHistory", AttributeValueType::string},
    {"Packet Protocol", "packetProtocol", AttributeValueType::string},
    {"Packet Time Delta", "packetTime", AttributeValueType::double_},
    {"Packet Real Length", "realLength", AttributeValueType::uint32},
    {"Packet Captured Length", "captureLength", AttributeValueType::uint32},
    {"Packet Information", "packetInfoOverview", AttributeValueType::string},
}};

/// One default column: title, key path, and the display name and predicate format (both absent
/// for the resolved-address columns).
struct PacketColumn {
    const char* title;
    const char* keyPath;
    const char* displayName;
    const char* predicateFormat;
};

constexpr std::array<PacketColumn, 11> kPacketColumns{{
    {"Packet ID", "packetId", "Packet ID contains", "packetId.description CONTAINS $value"},
    {"Packet Source Address", "packetSourceString", "Packet Source Address contains", "packetSourceString CONTAINS[c] $value"},
    {"Packet Destination Address", "packetDestinationString", "Packet Destination Address contains",
     "packetDestinationString CONTAINS[c] $value"},
    {"Packet Source Address Resolved", "packetIPSourceAddress", nullptr, nullptr},
    {"Packet Destination Address Resolved", "packetIPDestinationAddress", nullptr, nullptr},
    {"Packet Protocol History", "packetProtocolHistory", "Packet Protocol History contains",
     "packetProtocolHistory CONTAINS[c] $value"},
    {"Packet Protocol", "packetProtocol", "Packet Protocol contains", "packetProtocol CONTAINS[c] $value"},
    {"Packet Time Delta", "packetTime", "Packet Time Delta contains", "packetTime.description CONTAINS[c] $value"},
    {"Packet Real Length", "realLength", "Packet Real Length contains", "realLength.description CONTAINS[c] $value"},
    {"Packet Captured Length", "captureLength", "Packet Captured Length contains", "captureLength.description CONTAINS[c] $value"},
    {"Packet Information", "packetInfoOverview", "Packet Information contains", "packetInfoOverview CONTAINS[c] $value"},
}};

const PacketAttribute* findAttribute(std::string_view key) {
    for (const auto& a : kPacketAttributes) {
        if (key == a.key) return &a;
    }
    return nullptr;
}

/// Converts a property value to an attribute type; none when it does not have that type.
Value converted(const Value& v, std::string_view key, AttributeValueType type) {
    if (v.isNone()) return {};
    switch (type) {
        case AttributeValueType::double_:
            if (auto d = v.asDouble()) return *d;
            return {};
        case AttributeValueType::uint32:
            if (auto u = v.asUInt(); u && *u <= std::numeric_limits<std::uint32_t>::max()) return static_cast<std::uint32_t>(*u);
            return {};
        default:
            // The packet number is a number; every other packet attribute is text.
            if (key == "packetId") {
                if (auto i = v.asInt()) return *i;
                return {};
            }
            if (v.isString()) return v;
            return {};
    }
}

}  // namespace

Value DefaultPacketDissector::value(std::string_view key) const {
    const PacketAttribute* attribute = findAttribute(key);
    if (!attribute) return {};
    auto p = packet.lock();
    if (!p) return {};
    return converted(p->valueForKey(key), key, attribute->type);
}

const AnalyzerClassRef& DefaultPacketProtocolAnalyzer::analyzerClassRef() {
    static const AnalyzerClassRef cls =
        std::make_shared<const AnalyzerClassOf<DefaultPacketProtocolAnalyzer>>("DefaultPacketProtocolAnalyzer");
    return cls;
}

std::shared_ptr<DefaultPacketProtocolAnalyzer> DefaultPacketProtocolAnalyzer::create(const Data& data, const PacketRef& packet) {
    auto count = static_cast<std::uint16_t>(std::min<std::size_t>(data.size(), std::numeric_limits<std::uint16_t>::max()));
    InternedString linktype = InternedString::emptyText();
    if (packet) {
        // Only a packet answers "packetLinkTypeString" as text when its link type has a name.
        linktype = packet->packetLinkTypeName();
        if (!linktype.hasValue()) linktype = InternedString(std::to_string(packet->linkType()));
    }
    return std::make_shared<DefaultPacketProtocolAnalyzer>(count, linktype, packet);
}

std::optional<NodeList> DefaultPacketProtocolAnalyzer::protocolNodes() const {
    auto p = defaultPacketDissector_.packet.lock();
    if (!p) return std::nullopt;
    Value v = p->valueForKey("nodes");
    const Value::List* list = v.asList();
    if (!list) return std::nullopt;
    NodeList nodes;
    nodes.reserve(list->size());
    for (const auto& item : *list) {
        auto node = std::dynamic_pointer_cast<QORNodeProtocol>(item.asObject());
        if (!node) return std::nullopt;
        nodes.push_back(std::move(node));
    }
    return nodes;
}

Value DefaultPacketProtocolAnalyzer::value(std::string_view key, const Data&) const { return defaultPacketDissector_.value(key); }

namespace DefaultPacketPlugIn {

std::vector<QORPlugInAnalyzerAttribute> analyzerAttributes() {
    std::vector<QORPlugInAnalyzerAttribute> out;
    out.reserve(kPacketAttributes.size());
    for (const auto& a : kPacketAttributes) {
        QORPlugInAnalyzerAttribute attribute;
        attribute.plugInAnalyzerClass = DefaultPacketProtocolAnalyzer::analyzerClassRef();
        attribute.attributeTitle = localized(a.title, "Predicate Filter Displayname");
        attribute.attributeKey = a.key;
        attribute.attributeType = a.type;
        out.push_back(std::move(attribute));
    }
    return out;
}

std::vector<QORPlugInColumn> defaultColumns() {
    std::vector<QORPlugInColumn> out;
    out.reserve(kPacketColumns.size());
    for (const auto& c : kPacketColumns) {
        QORPlugInColumn column;
        column.columnTitle = localized(c.title, "Column Title");
        column.keyPath = c.keyPath;
        if (c.displayName) column.predicateOptions[NSDisplayNameBindingOption] = localized(c.displayName, "Predicate Filter Displayname");
        if (c.predicateFormat) column.predicateOptions[NSPredicateFormatBindingOption] = std::string(c.predicateFormat);
        out.push_back(std::move(column));
    }
    return out;
}

QORPlugInStructure packetPlugIn() {
    QORPlugInStructure s;
    s.plugInTitle = "Packet";
    s.plugInDescription = "Meta Data";
    s.plugInVersion = "1.0";
    s.plugInAuthor = "QORModels built-in packet analyzer";
    s.plugInAnalyzerClass = DefaultPacketProtocolAnalyzer::analyzerClassRef();
    s.plugInAnalyzerAttributes = analyzerAttributes();
    QORPlugInNetworkProtocol all;
    all.protocolName = "All";
    all.sourceProtocol = kQORSourceProtocols::all;
    s.plugInTargetProtocols.push_back(std::move(all));
    return s;
}

}  // namespace DefaultPacketPlugIn
}  // namespace qor
