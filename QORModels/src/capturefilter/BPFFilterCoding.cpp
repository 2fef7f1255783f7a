// Reading and writing the serialised form of capture-filter trees.

#include "QORModels/capturefilter/BPFFilterCoding.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

namespace qor {
namespace {

using json = nlohmann::json;
using Kind = DecodingError::Kind;
using P = BPFFilterPrimitive;
using N = BPFFilterNode;

/// Reads one capture-filter document, keeping the node depth.
class Decoder : public KeyedDecoder {
public:
    /// Reads a node; `depth` counts the nodes from the top, this one included.
    N node(const json& value, std::size_t depth) {
        if (depth > kBPFFilterMaxNodeDepth) {
            fail(Kind::dataCorrupted,
                 "Filter nodes are nested deeper than " + std::to_string(kBPFFilterMaxNodeDepth) + " levels.");
        }
        static constexpr std::array<std::string_view, 4> kCases{"primitive", "not", "compound", "empty"};
        const auto [name, fields] = caseOf(value, kCases);
        Scope scope(*this, name);
        if (name == "primitive") {
            UUID id = uuid(fields, "id");
            return N::Primitive{id, keyed(fields, "value", [&](const json& v) { return primitive(v); })};
        }
        if (name == "not") {
            UUID id = uuid(fields, "id");
            return N::Not{id, BPFFilterNodeBox(keyed(fields, "child", [&](const json& v) { return node(v, depth + 1); }))};
        }
        if (name == "compound") {
            UUID id = uuid(fields, "id");
            const auto combinator = enumeration<BPFCombinator>(fields, "combinator");
            std::vector<N> children = keyed(fields, "children", [&](const json& list) {
                return items(list, [&](const json& item) { return node(item, depth + 1); });
            });
            return N::Compound{id, combinator, std::move(children)};
        }
        return N::Empty{uuid(fields, "id")};
    }

    P primitive(const json& value) {
        std::array<std::string_view, std::variant_size_v<P::Storage>> cases{};
        for (std::size_t i = 0; i < cases.size(); ++i) cases[i] = bpfFilterPrimitiveCaseName(i);
        const auto [name, f] = caseOf(value, cases);
        Scope scope(*this, name);
        if (name == "host") {
            return P::Host{enumeration<BPFDirection>(f, "direction"), enumeration<BPFAddressFamily>(f, "family"), text(f, "value")};
        }
        if (name == "etherHost") return P::EtherHost{enumeration<BPFDirection>(f, "direction"), text(f, "mac")};
        if (name == "gateway") return P::Gateway{text(f, "host")};
        if (name == "net") {
            return P::Net{enumeration<BPFDirection>(f, "direction"), enumeration<BPFAddressFamily>(f, "family"),
                          text(f, "value"), optionalText(f, "mask"), optionalInteger(f, "cidr")};
        }
        if (name == "port") {
            return P::Port{enumeration<BPFDirection>(f, "direction"), enumeration<BPFPortProto>(f, "proto"), text(f, "value")};
        }
        if (name == "portrange") {
            return P::Portrange{enumeration<BPFDirection>(f, "direction"), enumeration<BPFPortProto>(f, "proto"),
                                text(f, "from"), text(f, "to")};
        }
        if (name == "namedProto") return P::NamedProto{enumeration<BPFNamedProto>(f, "_0")};
        if (name == "explicitProto") {
            return P::ExplicitProto{enumeration<BPFAddressFamily>(f, "family"), flag(f, "chain"), text(f, "protocolName")};
        }
        if (name == "etherProto") return P::EtherProto{text(f, "protocolName")};
        if (name == "broadcast") return P::Broadcast{enumeration<BPFBroadcastScope>(f, "scope")};
        if (name == "multicast") return P::Multicast{enumeration<BPFMulticastScope>(f, "scope")};
        if (name == "length") return P::Length{enumeration<BPFLengthMode>(f, "mode"), text(f, "value")};
        if (name == "vlan") return P::Vlan{optionalText(f, "id")};
        if (name == "mpls") return P::Mpls{optionalText(f, "label")};
        if (name == "pppoed") return P::Pppoed{};
        if (name == "pppoes") return P::Pppoes{optionalText(f, "session")};
        if (name == "geneve") return P::Geneve{optionalText(f, "vni")};
        if (name == "vxlan") return P::Vxlan{optionalText(f, "vni")};
        if (name == "linkDirection") return P::LinkDirection{enumeration<BPFLinkDirection>(f, "_0")};
        if (name == "wlanAddress") return P::WlanAddress{enumeration<BPFWlanAddressField>(f, "field"), text(f, "mac")};
        if (name == "wlanType") return P::WlanType{enumeration<BPFWlanFrameType>(f, "type"), optionalText(f, "subtype")};
        if (name == "wlanDirection") return P::WlanDirection{enumeration<BPFWlanDirection>(f, "_0")};
        if (name == "byteComparison") {
            return P::ByteComparison{enumeration<BPFBytesProto>(f, "proto"), text(f, "offset"),
                                     enumeration<BPFBytesSize>(f, "size"), enumeration<BPFRelop>(f, "relop"),
                                     text(f, "value")};
        }
        return P::Raw{text(f, "_0")};
    }

    /// Reads a bare enumeration value (the top of the path is the value itself).
    template <class E>
    E enumerationValue(const json& value) {
        if constexpr (std::is_same_v<E, BPFBytesSize>) {
            const auto number = integer(value);
            if (auto size = BPFEnumeration<BPFBytesSize>::fromRaw(number)) return *size;
            fail(Kind::dataCorrupted, "Cannot initialize BPFBytesSize from invalid Int value " + std::to_string(number));
        } else {
            if (value.is_null()) fail(Kind::valueNotFound, "Expected String value but found null instead.");
            if (!value.is_string()) mismatch("String", value);
            const auto& raw = value.get_ref<const std::string&>();
            if (auto result = BPFEnumeration<E>::fromRaw(raw)) return *result;
            fail(Kind::dataCorrupted, "Cannot initialize " + enumerationName<E>() + " from invalid String value " + raw);
        }
    }

private:
    template <class E>
    E enumeration(const json& fields, std::string_view key) {
        return keyed(fields, key, [&](const json& v) { return enumerationValue<E>(v); });
    }

    template <class E>
    static std::string enumerationName() {
        if constexpr (std::is_same_v<E, BPFDirection>) return "BPFDirection";
        if constexpr (std::is_same_v<E, BPFAddressFamily>) return "BPFAddressFamily";
        if constexpr (std::is_same_v<E, BPFPortProto>) return "BPFPortProto";
        if constexpr (std::is_same_v<E, BPFNamedProto>) return "BPFNamedProto";
        if constexpr (std::is_same_v<E, BPFLengthMode>) return "BPFLengthMode";
        if constexpr (std::is_same_v<E, BPFBroadcastScope>) return "BPFBroadcastScope";
        if constexpr (std::is_same_v<E, BPFMulticastScope>) return "BPFMulticastScope";
        if constexpr (std::is_same_v<E, BPFLinkDirection>) return "BPFLinkDirection";
        if constexpr (std::is_same_v<E, BPFWlanAddressField>) return "BPFWlanAddressField";
        if constexpr (std::is_same_v<E, BPFWlanFrameType>) return "BPFWlanFrameType";
        if constexpr (std::is_same_v<E, BPFWlanDirection>) return "BPFWlanDirection";
        if constexpr (std::is_same_v<E, BPFRelop>) return "BPFRelop";
        if constexpr (std::is_same_v<E, BPFBytesProto>) return "BPFBytesProto";
        if constexpr (std::is_same_v<E, BPFCombinator>) return "BPFCombinator";
        return "enumeration";
    }
};

template <class T>
void putOptional(json& fields, const char* key, const std::optional<T>& value) {
    if (value) fields[key] = *value;
}

json fieldsOf(const P::Host& p) { return {{"direction", p.direction}, {"family", p.family}, {"value", p.value}}; }
json fieldsOf(const P::EtherHost& p) { return {{"direction", p.direction}, {"mac", p.mac}}; }
json fieldsOf(const P::Gateway& p) { return {{"host", p.host}}; }
json fieldsOf(const P::Net& p) {
    json fields = {{"direction", p.direction}, {"family", p.family}, {"value", p.value}};
    putOptional(fields, "mask", p.mask);
    putOptional(fields, "cidr", p.cidr);
    return fields;
}
json fieldsOf(const P::Port& p) { return {{"direction", p.direction}, {"proto", p.proto}, {"value", p.value}}; }
json fieldsOf(const P::Portrange& p) {
    return {{"direction", p.direction}, {"proto", p.proto}, {"from", p.from}, {"to", p.to}};
}
json fieldsOf(const P::NamedProto& p) { return {{"_0", p.value}}; }
json fieldsOf(const P::ExplicitProto& p) {
    return {{"family", p.family}, {"chain", p.chain}, {"protocolName", p.protocolName}};
}
json fieldsOf(const P::EtherProto& p) { return {{"protocolName", p.protocolName}}; }
json fieldsOf(const P::Broadcast& p) { return {{"scope", p.scope}}; }
json fieldsOf(const P::Multicast& p) { return {{"scope", p.scope}}; }
json fieldsOf(const P::Length& p) { return {{"mode", p.mode}, {"value", p.value}}; }
json optionalOnly(const char* key, const std::optional<std::string>& value) {
    json fields = json::object();
    putOptional(fields, key, value);
    return fields;
}
json fieldsOf(const P::Vlan& p) { return optionalOnly("id", p.id); }
json fieldsOf(const P::Mpls& p) { return optionalOnly("label", p.label); }
json fieldsOf(const P::Pppoed&) { return json::object(); }
json fieldsOf(const P::Pppoes& p) { return optionalOnly("session", p.session); }
json fieldsOf(const P::Geneve& p) { return optionalOnly("vni", p.vni); }
json fieldsOf(const P::Vxlan& p) { return optionalOnly("vni", p.vni); }
json fieldsOf(const P::LinkDirection& p) { return {{"_0", p.value}}; }
json fieldsOf(const P::WlanAddress& p) { return {{"field", p.field}, {"mac", p.mac}}; }
json fieldsOf(const P::WlanType& p) {
    json fields = {{"type", p.type}};
    putOptional(fields, "subtype", p.subtype);
    return fields;
}
json fieldsOf(const P::WlanDirection& p) { return {{"_0", p.value}}; }
json fieldsOf(const P::ByteComparison& p) {
    return {{"proto", p.proto}, {"offset", p.offset}, {"size", p.size}, {"relop", p.relop}, {"value", p.value}};
}
json fieldsOf(const P::Raw& p) { return {{"_0", p.value}}; }

template <class E>
void readEnumeration(const json& value, E& out) {
    out = Decoder{}.enumerationValue<E>(value);
}

}  // namespace

#define QOR_BPF_ENUMERATION_JSON(E)                                                     \
    void to_json(nlohmann::json& json, E value) { json = std::string(rawValue(value)); } \
    void from_json(const nlohmann::json& json, E& value) { readEnumeration(json, value); }

QOR_BPF_ENUMERATION_JSON(BPFDirection)
QOR_BPF_ENUMERATION_JSON(BPFAddressFamily)
QOR_BPF_ENUMERATION_JSON(BPFPortProto)
QOR_BPF_ENUMERATION_JSON(BPFNamedProto)
QOR_BPF_ENUMERATION_JSON(BPFLengthMode)
QOR_BPF_ENUMERATION_JSON(BPFBroadcastScope)
QOR_BPF_ENUMERATION_JSON(BPFMulticastScope)
QOR_BPF_ENUMERATION_JSON(BPFLinkDirection)
QOR_BPF_ENUMERATION_JSON(BPFWlanAddressField)
QOR_BPF_ENUMERATION_JSON(BPFWlanFrameType)
QOR_BPF_ENUMERATION_JSON(BPFWlanDirection)
QOR_BPF_ENUMERATION_JSON(BPFRelop)
QOR_BPF_ENUMERATION_JSON(BPFBytesProto)
QOR_BPF_ENUMERATION_JSON(BPFCombinator)

#undef QOR_BPF_ENUMERATION_JSON

void to_json(nlohmann::json& json, BPFBytesSize value) { json = rawValue(value); }
void from_json(const nlohmann::json& json, BPFBytesSize& value) { readEnumeration(json, value); }

BPFFilterNode decodeBPFFilterNode(std::string_view jsonText) {
    return Decoder{}.node(parseKeyedDocument(jsonText, kBPFFilterMaxDocumentDepth), 1);
}

std::string encodeBPFFilterNode(const BPFFilterNode& node, int indent) {
    const json document = node;
    return document.dump(indent, ' ', false, json::error_handler_t::replace);
}

}  // namespace qor

qor::BPFFilterPrimitive nlohmann::adl_serializer<qor::BPFFilterPrimitive>::from_json(const nlohmann::json& json) {
    return qor::Decoder{}.primitive(json);
}

void nlohmann::adl_serializer<qor::BPFFilterPrimitive>::to_json(nlohmann::json& json,
                                                                  const qor::BPFFilterPrimitive& primitive) {
    json = qor::taggedCase(primitive.caseName(),
                       std::visit([](const auto& payload) { return qor::fieldsOf(payload); }, primitive.value()));
}

qor::BPFFilterNode nlohmann::adl_serializer<qor::BPFFilterNode>::from_json(const nlohmann::json& json) {
    return qor::Decoder{}.node(json, 1);
}

void nlohmann::adl_serializer<qor::BPFFilterNode>::to_json(nlohmann::json& json, const qor::BPFFilterNode& node) {
    using Node = qor::BPFFilterNode;
    const std::string id = node.id().uuidString();
    if (const auto* p = node.getIf<Node::Primitive>()) {
        json = qor::taggedCase("primitive", {{"id", id}, {"value", p->value}});
    } else if (const auto* n = node.getIf<Node::Not>()) {
        json = qor::taggedCase("not", {{"id", id}, {"child", n->child.get()}});
    } else if (const auto* c = node.getIf<Node::Compound>()) {
        nlohmann::json children = nlohmann::json::array();
        for (const Node& child : c->children) children.push_back(child);
        json = qor::taggedCase("compound", {{"id", id}, {"combinator", c->combinator}, {"children", std::move(children)}});
    } else {
        json = qor::taggedCase("empty", {{"id", id}});
    }
}
