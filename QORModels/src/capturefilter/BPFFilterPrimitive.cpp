// Expression text, case names and hashing of capture-filter primitives.

#include "QORModels/capturefilter/BPFFilterPrimitive.hpp"

#include <array>
#include <initializer_list>

#include "BPFFilterHashing.hpp"
#include "BPFFilterTextTrimming.hpp"

namespace qor {
namespace {

using bpf_detail::trimmingBlanks;
using P = BPFFilterPrimitive;

constexpr std::array<std::string_view, std::variant_size_v<P::Storage>> kCaseNames{
    "host",      "etherHost",   "gateway",  "net",         "port",          "portrange",      "namedProto", "explicitProto",
    "etherProto", "broadcast",  "multicast", "length",     "vlan",          "mpls",           "pppoed",     "pppoes",
    "geneve",    "vxlan",       "linkDirection", "wlanAddress", "wlanType", "wlanDirection", "byteComparison", "raw",
};

/// Joins parts the way every word-list primitive is written: each part trimmed of blanks, the
/// parts left empty dropped, the rest joined with one space. So an `any` direction, an `auto`
/// family or an empty value simply disappear from the text.
std::string joinParts(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) {
        const std::string_view trimmed = trimmingBlanks(part);
        if (trimmed.empty()) continue;
        if (!text.empty()) text += ' ';
        text += trimmed;
    }
    return text;
}

/// "keyword" alone, or "keyword argument" when the optional argument has text other than blanks.
std::string keywordWithOptionalArgument(std::string_view keyword, const std::optional<std::string>& argument) {
    std::string text(keyword);
    if (argument) {
        const std::string_view trimmed = trimmingBlanks(*argument);
        if (!trimmed.empty()) {
            text += ' ';
            text += trimmed;
        }
    }
    return text;
}

std::string render(const P::Host& p) {
    return joinParts({expressionKeyword(p.family), expressionKeyword(p.direction), "host", p.value});
}
std::string render(const P::EtherHost& p) { return joinParts({"ether", expressionKeyword(p.direction), "host", p.mac}); }
std::string render(const P::Gateway& p) { return joinParts({"gateway", p.host}); }

/// "net VALUE/CIDR" when the prefix length is given; otherwise "net VALUE mask MASK" when a mask
/// with text is given; otherwise "net VALUE". A mask given with a prefix length is ignored.
std::string render(const P::Net& p) {
    const std::string_view family = expressionKeyword(p.family);
    const std::string_view direction = expressionKeyword(p.direction);
    if (p.cidr) {
        const std::string network = p.value + "/" + std::to_string(*p.cidr);
        return joinParts({family, direction, "net", network});
    }
    if (p.mask && !p.mask->empty()) return joinParts({family, direction, "net", p.value, "mask", *p.mask});
    return joinParts({family, direction, "net", p.value});
}

std::string render(const P::Port& p) {
    return joinParts({expressionKeyword(p.proto), expressionKeyword(p.direction), "port", p.value});
}
std::string render(const P::Portrange& p) {
    const std::string range = p.from + "-" + p.to;
    return joinParts({expressionKeyword(p.proto), expressionKeyword(p.direction), "portrange", range});
}
std::string render(const P::NamedProto& p) { return joinParts({expressionKeyword(p.value)}); }

/// Only the IP families qualify "proto"/"protochain"; `auto`, `arp` and `rarp` give no family word.
std::string render(const P::ExplicitProto& p) {
    std::string_view family;
    if (p.family == BPFAddressFamily::ip) family = "ip";
    if (p.family == BPFAddressFamily::ip6) family = "ip6";
    return joinParts({family, p.chain ? "protochain" : "proto", p.protocolName});
}
std::string render(const P::EtherProto& p) { return joinParts({"ether", "proto", p.protocolName}); }
std::string render(const P::Broadcast& p) { return joinParts({expressionKeyword(p.scope), "broadcast"}); }
std::string render(const P::Multicast& p) { return joinParts({expressionKeyword(p.scope), "multicast"}); }

/// "less N" and "greater N" use libpcap's own words; the other modes compare "len".
std::string render(const P::Length& p) {
    switch (p.mode) {
        case BPFLengthMode::less: return joinParts({"less", p.value});
        case BPFLengthMode::greater: return joinParts({"greater", p.value});
        case BPFLengthMode::equal: return joinParts({"len", "=", p.value});
        case BPFLengthMode::notEqual: return joinParts({"len", "!=", p.value});
        case BPFLengthMode::lessOrEqual: return joinParts({"len", "<=", p.value});
        case BPFLengthMode::greaterOrEqual: return joinParts({"len", ">=", p.value});
    }
    return {};
}

std::string render(const P::Vlan& p) { return keywordWithOptionalArgument("vlan", p.id); }
std::string render(const P::Mpls& p) { return keywordWithOptionalArgument("mpls", p.label); }
std::string render(const P::Pppoed&) { return "pppoed"; }
std::string render(const P::Pppoes& p) { return keywordWithOptionalArgument("pppoes", p.session); }
std::string render(const P::Geneve& p) { return keywordWithOptionalArgument("geneve", p.vni); }
std::string render(const P::Vxlan& p) { return keywordWithOptionalArgument("vxlan", p.vni); }
std::string render(const P::LinkDirection& p) { return std::string(expressionKeyword(p.value)); }
std::string render(const P::WlanAddress& p) { return joinParts({"wlan", expressionKeyword(p.field), p.mac}); }
std::string render(const P::WlanType& p) {
    if (p.subtype && !p.subtype->empty()) {
        return joinParts({"wlan", "type", expressionKeyword(p.type), "subtype", *p.subtype});
    }
    return joinParts({"wlan", "type", expressionKeyword(p.type)});
}
std::string render(const P::WlanDirection& p) { return joinParts({"wlan", "dir", expressionKeyword(p.value)}); }

/// "proto[offset:size] relop value", for example "tcp[13:1] & 0x12".
std::string render(const P::ByteComparison& p) {
    std::string accessor(expressionKeyword(p.proto));
    accessor += '[';
    accessor += p.offset;
    accessor += ':';
    accessor += std::to_string(rawValue(p.size));
    accessor += ']';
    return joinParts({accessor, expressionKeyword(p.relop), p.value});
}

/// A hand-written expression, without blanks and line breaks at either end.
std::string render(const P::Raw& p) { return std::string(bpf_detail::trimmingBlanksAndLineBreaks(p.value)); }

void hashFields(bpf_detail::Hasher& h, const P::Host& p) { h.add(p.direction), h.add(p.family), h.add(p.value); }
void hashFields(bpf_detail::Hasher& h, const P::EtherHost& p) { h.add(p.direction), h.add(p.mac); }
void hashFields(bpf_detail::Hasher& h, const P::Gateway& p) { h.add(p.host); }
void hashFields(bpf_detail::Hasher& h, const P::Net& p) {
    h.add(p.direction), h.add(p.family), h.add(p.value), h.add(p.mask), h.add(p.cidr);
}
void hashFields(bpf_detail::Hasher& h, const P::Port& p) { h.add(p.direction), h.add(p.proto), h.add(p.value); }
void hashFields(bpf_detail::Hasher& h, const P::Portrange& p) {
    h.add(p.direction), h.add(p.proto), h.add(p.from), h.add(p.to);
}
void hashFields(bpf_detail::Hasher& h, const P::NamedProto& p) { h.add(p.value); }
void hashFields(bpf_detail::Hasher& h, const P::ExplicitProto& p) { h.add(p.family), h.add(p.chain), h.add(p.protocolName); }
void hashFields(bpf_detail::Hasher& h, const P::EtherProto& p) { h.add(p.protocolName); }
void hashFields(bpf_detail::Hasher& h, const P::Broadcast& p) { h.add(p.scope); }
void hashFields(bpf_detail::Hasher& h, const P::Multicast& p) { h.add(p.scope); }
void hashFields(bpf_detail::Hasher& h, const P::Length& p) { h.add(p.mode), h.add(p.value); }
void hashFields(bpf_detail::Hasher& h, const P::Vlan& p) { h.add(p.id); }
void hashFields(bpf_detail::Hasher& h, const P::Mpls& p) { h.add(p.label); }
void hashFields(bpf_detail::Hasher&, const P::Pppoed&) {}
void hashFields(bpf_detail::Hasher& h, const P::Pppoes& p) { h.add(p.session); }
void hashFields(bpf_detail::Hasher& h, const P::Geneve& p) { h.add(p.vni); }
void hashFields(bpf_detail::Hasher& h, const P::Vxlan& p) { h.add(p.vni); }
void hashFields(bpf_detail::Hasher& h, const P::LinkDirection& p) { h.add(p.value); }
void hashFields(bpf_detail::Hasher& h, const P::WlanAddress& p) { h.add(p.field), h.add(p.mac); }
void hashFields(bpf_detail::Hasher& h, const P::WlanType& p) { h.add(p.type), h.add(p.subtype); }
void hashFields(bpf_detail::Hasher& h, const P::WlanDirection& p) { h.add(p.value); }
void hashFields(bpf_detail::Hasher& h, const P::ByteComparison& p) {
    h.add(p.proto), h.add(p.offset), h.add(p.size), h.add(p.relop), h.add(p.value);
}
void hashFields(bpf_detail::Hasher& h, const P::Raw& p) { h.add(p.value); }

}  // namespace

std::string_view bpfFilterPrimitiveCaseName(std::size_t index) {
    return index < kCaseNames.size() ? kCaseNames[index] : std::string_view{};
}

std::string_view BPFFilterPrimitive::caseName() const { return kCaseNames[storage_.index()]; }

std::string BPFFilterPrimitive::rendered() const {
    return std::visit([](const auto& payload) { return render(payload); }, storage_);
}

std::size_t BPFFilterPrimitive::hashValue() const {
    bpf_detail::Hasher hasher;
    hasher.mix(storage_.index());
    std::visit([&](const auto& payload) { hashFields(hasher, payload); }, storage_);
    return hasher.value();
}

}  // namespace qor
