#pragma once
// One primitive of every case with the text it renders to and libpcap's verdict on that text:
// the rendering tests check text and verdict, the coding tests round-trip the primitives.

#include <ostream>
#include <string>
#include <vector>

#include "QORModels/capturefilter/BPFFilterPrimitive.hpp"

namespace qor::test {

using P = BPFFilterPrimitive;
using D = BPFDirection;
using F = BPFAddressFamily;

/// A primitive, the text it must render to, and what libpcap 1.10.3 says of that text.
struct RenderCase {
    const char* name;
    P primitive;
    std::string text;
    /// Empty for "compiles"; otherwise libpcap's message.
    std::string libpcapError;
};

inline void PrintTo(const RenderCase& c, std::ostream* os) { *os << c.name; }

inline constexpr const char* kSyntaxError = "can't parse filter expression: syntax error";

// The verdicts were recorded with tcpdump 4.99.3 / libpcap 1.10.3 (Debian 12), which compiles for a
// dead Ethernet handle without optimisation:  tcpdump -O -d -y EN10MB -s 65535 'TEXT'  (no output on
// standard error: compiles; otherwise the message after "tcpdump: "). One difference is by design:
// tcpdump passes netmask 0 where the validator passes PCAP_NETMASK_UNKNOWN, so "ip broadcast",
// which tcpdump accepts, is refused with libpcap's netmask message.
inline const std::vector<RenderCase> kRenderCases = {
    // host: family, direction, "host", value; `auto` and `any` disappear.
    {"hostBare", P::host(D::any, F::auto_, "10.1.1.1"), "host 10.1.1.1", ""},
    {"hostIpSrc", P::host(D::src, F::ip, "10.0.0.1"), "ip src host 10.0.0.1", ""},
    {"hostIp6SrcOrDst", P::host(D::srcOrDst, F::ip6, " ::1\t"), "ip6 src or dst host ::1", ""},
    {"hostArpSrcAndDst", P::host(D::srcAndDst, F::arp, "10.0.0.1"), "arp src and dst host 10.0.0.1", ""},
    {"hostWithoutValue", P::host(D::any, F::auto_, "   "), "host", kSyntaxError},
    {"etherHost", P::etherHost(D::dst, "00:11:22:33:44:55"), "ether dst host 00:11:22:33:44:55", ""},
    {"gatewayAddress", P::gateway("10.0.0.1"), "gateway 10.0.0.1", "'gateway' requires a name"},
    // net: a prefix length wins over a mask; an empty mask is left out.
    {"netCidr", P::net(D::any, F::auto_, "192.168.0.0", std::nullopt, 16), "net 192.168.0.0/16", ""},
    {"netMask", P::net(D::any, F::auto_, "192.168.0.0", "255.255.0.0"), "net 192.168.0.0 mask 255.255.0.0", ""},
    {"netMaskIgnoredWithCidr", P::net(D::src, F::ip, "10.0.0.0", "255.0.0.0", 8), "ip src net 10.0.0.0/8", ""},
    {"netEmptyMask", P::net(D::any, F::auto_, "10.0.0.0", ""), "net 10.0.0.0", ""},
    {"netIp6", P::net(D::dst, F::ip6, "2001:db8::", std::nullopt, 32), "ip6 dst net 2001:db8::/32", ""},
    {"netCidrTooLong", P::net(D::any, F::auto_, "10.0.0.0", std::nullopt, 33), "net 10.0.0.0/33",
     "mask length must be <= 32"},
    {"portAnyProto", P::port(D::srcAndDst, BPFPortProto::any, "53"), "src and dst port 53", ""},
    {"portTcpDst", P::port(D::dst, BPFPortProto::tcp, "443"), "tcp dst port 443", ""},
    {"portrangeUdp", P::portrange(D::any, BPFPortProto::udp, "1000", "2000"), "udp portrange 1000-2000", ""},
    {"explicitProtoIp", P::explicitProto(F::ip, false, "17"), "ip proto 17", ""},
    {"explicitProtoIp6Chain", P::explicitProto(F::ip6, true, "58"), "ip6 protochain 58", ""},
    {"explicitProtoArpHasNoFamilyWord", P::explicitProto(F::arp, false, "6"), "proto 6", ""},
    {"explicitProtoAutoChainEscapedName", P::explicitProto(F::auto_, true, "\\tcp"), "protochain \\tcp", ""},
    {"etherProtoEscapedName", P::etherProto("\\arp"), "ether proto \\arp", ""},
    {"broadcastEther", P::broadcast(BPFBroadcastScope::ether), "ether broadcast", ""},
    {"broadcastIp", P::broadcast(BPFBroadcastScope::ip), "ip broadcast",
     "netmask not known, so 'ip broadcast' not supported"},
    {"multicastEther", P::multicast(BPFMulticastScope::ether), "ether multicast", ""},
    {"multicastIp", P::multicast(BPFMulticastScope::ip), "ip multicast", ""},
    {"lengthLess", P::length(BPFLengthMode::less, "60"), "less 60", ""},
    {"lengthGreater", P::length(BPFLengthMode::greater, "1000"), "greater 1000", ""},
    {"lengthEqual", P::length(BPFLengthMode::equal, "60"), "len = 60", ""},
    {"vlanWithoutId", P::vlan(), "vlan", ""},
    {"vlanBlankId", P::vlan(" \t "), "vlan", ""},
    {"vlanId", P::vlan(" 100 "), "vlan 100", ""},
    {"mplsLabel", P::mpls("3"), "mpls 3", ""},
    {"pppoed", P::pppoed(), "pppoed", ""},
    {"pppoesSession", P::pppoes("0x27"), "pppoes 0x27", ""},
    {"geneveVni", P::geneve("10"), "geneve 10", ""},
    // libpcap 1.10 has no "vxlan" keyword yet; the text is still the one later versions accept.
    {"vxlanVni", P::vxlan("5"), "vxlan 5", kSyntaxError},
    {"linkDirectionInbound", P::linkDirection(BPFLinkDirection::inbound), "inbound", ""},
    // The 802.11 primitives are refused for Ethernet, the link type the validator compiles for.
    {"wlanAddressAddr1", P::wlanAddress(BPFWlanAddressField::addr1, "00:11:22:33:44:55"),
     "wlan addr1 00:11:22:33:44:55", "'addr1' and 'address1' are only supported on 802.11 with 802.11 headers"},
    {"wlanAddressRa", P::wlanAddress(BPFWlanAddressField::ra, "00:11:22:33:44:55"), "wlan ra 00:11:22:33:44:55",
     "'ra' is only supported on 802.11 with 802.11 headers"},
    {"wlanTypeSubtype", P::wlanType(BPFWlanFrameType::mgt, "beacon"), "wlan type mgt subtype beacon",
     "802.11 link-layer types supported only on 802.11"},
    {"wlanTypeEmptySubtype", P::wlanType(BPFWlanFrameType::data, ""), "wlan type data",
     "802.11 link-layer types supported only on 802.11"},
    {"wlanDirection", P::wlanDirection(BPFWlanDirection::tods), "wlan dir tods",
     "frame direction supported only with 802.11 headers"},
    // A bit mask alone is an arithmetic expression, not a test: libpcap wants a comparison after it.
    {"byteComparisonMaskOnly", P::byteComparison(BPFBytesProto::ip, "0", BPFBytesSize::one, BPFRelop::bitAnd, "0xf"),
     "ip[0:1] & 0xf", kSyntaxError},
    {"byteComparisonTcpFlags", P::byteComparison(BPFBytesProto::tcp, "13", BPFBytesSize::one, BPFRelop::eq, "2"),
     "tcp[13:1] == 2", ""},
    {"byteComparisonEtherType", P::byteComparison(BPFBytesProto::ether, "12", BPFBytesSize::two, BPFRelop::eq, "0x0800"),
     "ether[12:2] == 0x0800", ""},
    {"byteComparisonFourBytes", P::byteComparison(BPFBytesProto::udp, "8", BPFBytesSize::four, BPFRelop::gt, "0"),
     "udp[8:4] > 0", ""},
    {"byteComparisonOrThenCompare",
     P::byteComparison(BPFBytesProto::icmp6, "0", BPFBytesSize::one, BPFRelop::bitOr, "1 != 0"), "icmp6[0:1] | 1 != 0",
     ""},
    {"rawTrimmed", P::raw(" \n tcp port 80 \r\n"), "tcp port 80", ""},
    // Unicode spaces and line separators count as blanks and line breaks too.
    {"rawUnicodeBlanks", P::raw("\u00a0tcp\u2028"), "tcp", ""},
    {"rawCompound", P::raw("tcp and (port 80 or port 443) and not host 10.0.0.1"),
     "tcp and (port 80 or port 443) and not host 10.0.0.1", ""},
};

}  // namespace qor::test
