// Raw values, display titles and expression keywords of the capture-filter choices.

#include "QORModels/capturefilter/BPFFilterEnumerations.hpp"

#include <cstddef>

#include "QORPlatform/Localized.hpp"

namespace qor {
namespace {

/// One case of an enumeration: raw value, display title, expression keyword.
struct Row {
    std::string_view raw;
    std::string_view title;
    std::string_view keyword;
};

/// A case whose name is its raw value, its title and its keyword.
constexpr Row named(std::string_view name) { return {name, name, name}; }

template <class E, std::size_t N>
const Row& row(const std::array<Row, N>& table, E value) {
    return table[static_cast<std::size_t>(value)];  // every enumeration is numbered 0..N-1 in table order
}

constexpr std::array<Row, 5> kDirection{{
    {"any", "Any direction", ""},
    {"src", "Source", "src"},
    {"dst", "Destination", "dst"},
    {"srcOrDst", "Source or Destination", "src or dst"},
    {"srcAndDst", "Source and Destination", "src and dst"},
}};
constexpr std::array<Row, 5> kAddressFamily{{
    {"auto", "auto", ""},
    {"ip", "IPv4", "ip"},
    {"ip6", "IPv6", "ip6"},
    {"arp", "ARP", "arp"},
    {"rarp", "RARP", "rarp"},
}};
constexpr std::array<Row, 4> kPortProto{{{"any", "tcp / udp / sctp", ""}, named("tcp"), named("udp"), named("sctp")}};
constexpr std::array<Row, 18> kNamedProto{{
    named("ip"), named("ip6"), named("arp"), named("rarp"), named("decnet"), named("iso"),
    named("tcp"), named("udp"), named("sctp"), named("icmp"), named("icmp6"), named("igmp"),
    named("igrp"), named("pim"), named("ah"), named("esp"), named("vrrp"), named("carp"),
}};
constexpr std::array<Row, 6> kLengthMode{{
    {"less", "less (≤)", ""},
    {"greater", "greater (≥)", ""},
    {"equal", "=", ""},
    {"notEqual", "≠", ""},
    {"lessOrEqual", "≤", ""},
    {"greaterOrEqual", "≥", ""},
}};
constexpr std::array<Row, 2> kBroadcastScope{{named("ether"), named("ip")}};
constexpr std::array<Row, 3> kMulticastScope{{named("ether"), named("ip"), named("ip6")}};
constexpr std::array<Row, 2> kLinkDirection{{named("inbound"), named("outbound")}};
constexpr std::array<Row, 6> kWlanAddressField{
    {named("ra"), named("ta"), named("addr1"), named("addr2"), named("addr3"), named("addr4")}};
constexpr std::array<Row, 3> kWlanFrameType{{named("mgt"), named("ctl"), named("data")}};
constexpr std::array<Row, 4> kWlanDirection{{named("nods"), named("tods"), named("fromds"), named("dstods")}};
constexpr std::array<Row, 8> kRelop{
    {named("=="), named("!="), named("<"), named("<="), named(">"), named(">="), named("&"), named("|")}};
constexpr std::array<Row, 23> kBytesProto{{
    named("ether"), named("ip"), named("ip6"), named("arp"), named("rarp"), named("tcp"), named("udp"), named("icmp"),
    named("icmp6"), named("igmp"), named("pim"), named("sctp"), named("ah"), named("esp"), named("vrrp"), named("carp"),
    named("ppp"), named("slip"), named("link"), named("radio"), named("wlan"), named("fddi"), named("tr"),
}};
constexpr std::array<Row, 2> kCombinator{{{"and", "AND", ""}, {"or", "OR", ""}}};

}  // namespace

#define QOR_BPF_ROWS(E, table)                                                                   \
    std::string_view rawValue(E value) { return row(table, value).raw; }                        \
    std::string displayTitle(E value) { return std::string(row(table, value).title); }

#define QOR_BPF_KEYWORD(E, table) \
    std::string_view expressionKeyword(E value) { return row(table, value).keyword; }

std::string_view rawValue(BPFDirection value) { return row(kDirection, value).raw; }
std::string displayTitle(BPFDirection value) {
    return localized(row(kDirection, value).title, "BPF filter direction");
}
QOR_BPF_KEYWORD(BPFDirection, kDirection)

QOR_BPF_ROWS(BPFAddressFamily, kAddressFamily)
QOR_BPF_KEYWORD(BPFAddressFamily, kAddressFamily)
QOR_BPF_ROWS(BPFPortProto, kPortProto)
QOR_BPF_KEYWORD(BPFPortProto, kPortProto)
QOR_BPF_ROWS(BPFNamedProto, kNamedProto)
QOR_BPF_KEYWORD(BPFNamedProto, kNamedProto)
QOR_BPF_ROWS(BPFLengthMode, kLengthMode)
QOR_BPF_ROWS(BPFBroadcastScope, kBroadcastScope)
QOR_BPF_KEYWORD(BPFBroadcastScope, kBroadcastScope)
QOR_BPF_ROWS(BPFMulticastScope, kMulticastScope)
QOR_BPF_KEYWORD(BPFMulticastScope, kMulticastScope)
QOR_BPF_ROWS(BPFLinkDirection, kLinkDirection)
QOR_BPF_KEYWORD(BPFLinkDirection, kLinkDirection)
QOR_BPF_ROWS(BPFWlanAddressField, kWlanAddressField)
QOR_BPF_KEYWORD(BPFWlanAddressField, kWlanAddressField)
QOR_BPF_ROWS(BPFWlanFrameType, kWlanFrameType)
QOR_BPF_KEYWORD(BPFWlanFrameType, kWlanFrameType)
QOR_BPF_ROWS(BPFWlanDirection, kWlanDirection)
QOR_BPF_KEYWORD(BPFWlanDirection, kWlanDirection)
QOR_BPF_ROWS(BPFRelop, kRelop)
QOR_BPF_KEYWORD(BPFRelop, kRelop)
QOR_BPF_ROWS(BPFBytesProto, kBytesProto)
QOR_BPF_KEYWORD(BPFBytesProto, kBytesProto)
QOR_BPF_ROWS(BPFCombinator, kCombinator)

#undef QOR_BPF_ROWS
#undef QOR_BPF_KEYWORD

int rawValue(BPFBytesSize value) { return static_cast<int>(value); }

std::string displayTitle(BPFBytesSize value) {
    const int count = rawValue(value);
    return std::to_string(count) + " byte" + (count > 1 ? "s" : "");
}

}  // namespace qor
