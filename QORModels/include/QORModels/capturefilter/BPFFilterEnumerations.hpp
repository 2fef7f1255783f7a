#pragma once
// The choices a capture-filter primitive offers: directions, families, protocols, scopes and operators.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace qor {

// Every enumeration below has a raw value (its serialised form, `rawValue`), a display title (what a
// picker shows, `displayTitle`) and, where the expression text uses it, an expression keyword
// (`expressionKeyword`; an empty keyword stands for "nothing in the text"). `BPFEnumeration<E>`
// lists the cases in order and maps raw values back. Cases whose name is a C++ keyword or
// alternative token carry a trailing underscore (`auto_`, `and_`, `or_`); their raw values are the
// plain names. All of these are plain values, safe to use from any thread.

/// Which end of a packet an address or port must match.
enum class BPFDirection { any, src, dst, srcOrDst, srcAndDst };
/// The network family that qualifies a host or net, or that `explicitProto` applies to.
enum class BPFAddressFamily { auto_, ip, ip6, arp, rarp };
/// The transport protocol that qualifies a port or port range.
enum class BPFPortProto { any, tcp, udp, sctp };
/// A protocol that libpcap names by a keyword of its own.
enum class BPFNamedProto { ip, ip6, arp, rarp, decnet, iso, tcp, udp, sctp, icmp, icmp6, igmp, igrp, pim, ah, esp, vrrp, carp };
/// How a packet length is compared.
enum class BPFLengthMode { less, greater, equal, notEqual, lessOrEqual, greaterOrEqual };
/// The layer whose broadcast address is matched.
enum class BPFBroadcastScope { ether, ip };
/// The layer whose multicast addresses are matched.
enum class BPFMulticastScope { ether, ip, ip6 };
/// The direction of a packet relative to the capturing host.
enum class BPFLinkDirection { inbound, outbound };
/// Which 802.11 address field is matched.
enum class BPFWlanAddressField { ra, ta, addr1, addr2, addr3, addr4 };
/// The 802.11 frame type.
enum class BPFWlanFrameType { mgt, ctl, data };
/// The 802.11 distribution-system direction bits.
enum class BPFWlanDirection { nods, tods, fromds, dstods };
/// A relational or bitwise operator of a byte comparison; its raw value is the operator symbol.
enum class BPFRelop { eq, ne, lt, le, gt, ge, bitAnd, bitOr };
/// The protocol layer whose bytes a byte comparison reads (`proto[offset:size]`).
enum class BPFBytesProto {
    ether, ip, ip6, arp, rarp, tcp, udp, icmp, icmp6, igmp, pim, sctp, ah, esp, vrrp, carp, ppp, slip, link, radio, wlan, fddi, tr
};
/// The number of bytes a byte comparison reads; the raw value is that number.
enum class BPFBytesSize { one = 1, two = 2, four = 4 };
/// How the children of a compound are joined.
enum class BPFCombinator { and_, or_ };

std::string_view rawValue(BPFDirection value);
std::string_view rawValue(BPFAddressFamily value);
std::string_view rawValue(BPFPortProto value);
std::string_view rawValue(BPFNamedProto value);
std::string_view rawValue(BPFLengthMode value);
std::string_view rawValue(BPFBroadcastScope value);
std::string_view rawValue(BPFMulticastScope value);
std::string_view rawValue(BPFLinkDirection value);
std::string_view rawValue(BPFWlanAddressField value);
std::string_view rawValue(BPFWlanFrameType value);
std::string_view rawValue(BPFWlanDirection value);
std::string_view rawValue(BPFRelop value);
std::string_view rawValue(BPFBytesProto value);
std::string_view rawValue(BPFCombinator value);
/// The raw value of a byte count is the count: 1, 2 or 4.
int rawValue(BPFBytesSize value);

/// The direction's title in the user's language (looked up in the library's string table, with
/// the translator comment "BPF filter direction"); the English text is the default.
std::string displayTitle(BPFDirection value);
std::string displayTitle(BPFAddressFamily value);
std::string displayTitle(BPFPortProto value);
std::string displayTitle(BPFNamedProto value);
std::string displayTitle(BPFLengthMode value);
std::string displayTitle(BPFBroadcastScope value);
std::string displayTitle(BPFMulticastScope value);
std::string displayTitle(BPFLinkDirection value);
std::string displayTitle(BPFWlanAddressField value);
std::string displayTitle(BPFWlanFrameType value);
std::string displayTitle(BPFWlanDirection value);
std::string displayTitle(BPFRelop value);
std::string displayTitle(BPFBytesProto value);
/// "1 byte", "2 bytes" or "4 bytes".
std::string displayTitle(BPFBytesSize value);
/// "AND" or "OR".
std::string displayTitle(BPFCombinator value);

/// The words the value contributes to an expression; empty for `any`.
std::string_view expressionKeyword(BPFDirection value);
/// Empty for `auto_`.
std::string_view expressionKeyword(BPFAddressFamily value);
/// Empty for `any`.
std::string_view expressionKeyword(BPFPortProto value);
std::string_view expressionKeyword(BPFNamedProto value);
std::string_view expressionKeyword(BPFBroadcastScope value);
std::string_view expressionKeyword(BPFMulticastScope value);
std::string_view expressionKeyword(BPFLinkDirection value);
std::string_view expressionKeyword(BPFWlanAddressField value);
std::string_view expressionKeyword(BPFWlanFrameType value);
std::string_view expressionKeyword(BPFWlanDirection value);
std::string_view expressionKeyword(BPFRelop value);
std::string_view expressionKeyword(BPFBytesProto value);

/// The cases of a capture-filter enumeration in order, and the case of a raw value.
template <class E>
struct BPFEnumeration;

#define QOR_BPF_ENUMERATION(E, ...)                                               \
    template <>                                                                   \
    struct BPFEnumeration<E> {                                                    \
        static constexpr std::array allCases{__VA_ARGS__};                        \
        /** The case whose raw value is `raw`; nothing for any other text. */     \
        static std::optional<E> fromRaw(std::string_view raw) {                   \
            for (E value : allCases)                                              \
                if (rawValue(value) == raw) return value;                         \
            return std::nullopt;                                                  \
        }                                                                         \
    }

QOR_BPF_ENUMERATION(BPFDirection, BPFDirection::any, BPFDirection::src, BPFDirection::dst, BPFDirection::srcOrDst,
                    BPFDirection::srcAndDst);
QOR_BPF_ENUMERATION(BPFAddressFamily, BPFAddressFamily::auto_, BPFAddressFamily::ip, BPFAddressFamily::ip6,
                    BPFAddressFamily::arp, BPFAddressFamily::rarp);
QOR_BPF_ENUMERATION(BPFPortProto, BPFPortProto::any, BPFPortProto::tcp, BPFPortProto::udp, BPFPortProto::sctp);
QOR_BPF_ENUMERATION(BPFNamedProto, BPFNamedProto::ip, BPFNamedProto::ip6, BPFNamedProto::arp, BPFNamedProto::rarp,
                    BPFNamedProto::decnet, BPFNamedProto::iso, BPFNamedProto::tcp, BPFNamedProto::udp,
                    BPFNamedProto::sctp, BPFNamedProto::icmp, BPFNamedProto::icmp6, BPFNamedProto::igmp,
                    BPFNamedProto::igrp, BPFNamedProto::pim, BPFNamedProto::ah, BPFNamedProto::esp,
                    BPFNamedProto::vrrp, BPFNamedProto::carp);
QOR_BPF_ENUMERATION(BPFLengthMode, BPFLengthMode::less, BPFLengthMode::greater, BPFLengthMode::equal,
                    BPFLengthMode::notEqual, BPFLengthMode::lessOrEqual, BPFLengthMode::greaterOrEqual);
QOR_BPF_ENUMERATION(BPFBroadcastScope, BPFBroadcastScope::ether, BPFBroadcastScope::ip);
QOR_BPF_ENUMERATION(BPFMulticastScope, BPFMulticastScope::ether, BPFMulticastScope::ip, BPFMulticastScope::ip6);
QOR_BPF_ENUMERATION(BPFLinkDirection, BPFLinkDirection::inbound, BPFLinkDirection::outbound);
QOR_BPF_ENUMERATION(BPFWlanAddressField, BPFWlanAddressField::ra, BPFWlanAddressField::ta, BPFWlanAddressField::addr1,
                    BPFWlanAddressField::addr2, BPFWlanAddressField::addr3, BPFWlanAddressField::addr4);
QOR_BPF_ENUMERATION(BPFWlanFrameType, BPFWlanFrameType::mgt, BPFWlanFrameType::ctl, BPFWlanFrameType::data);
QOR_BPF_ENUMERATION(BPFWlanDirection, BPFWlanDirection::nods, BPFWlanDirection::tods, BPFWlanDirection::fromds,
                    BPFWlanDirection::dstods);
QOR_BPF_ENUMERATION(BPFRelop, BPFRelop::eq, BPFRelop::ne, BPFRelop::lt, BPFRelop::le, BPFRelop::gt, BPFRelop::ge,
                    BPFRelop::bitAnd, BPFRelop::bitOr);
QOR_BPF_ENUMERATION(BPFBytesProto, BPFBytesProto::ether, BPFBytesProto::ip, BPFBytesProto::ip6, BPFBytesProto::arp,
                    BPFBytesProto::rarp, BPFBytesProto::tcp, BPFBytesProto::udp, BPFBytesProto::icmp,
                    BPFBytesProto::icmp6, BPFBytesProto::igmp, BPFBytesProto::pim, BPFBytesProto::sctp,
                    BPFBytesProto::ah, BPFBytesProto::esp, BPFBytesProto::vrrp, BPFBytesProto::carp,
                    BPFBytesProto::ppp, BPFBytesProto::slip, BPFBytesProto::link, BPFBytesProto::radio,
                    BPFBytesProto::wlan, BPFBytesProto::fddi, BPFBytesProto::tr);
QOR_BPF_ENUMERATION(BPFCombinator, BPFCombinator::and_, BPFCombinator::or_);

#undef QOR_BPF_ENUMERATION

/// The cases of the byte counts in order; their raw values are integers.
template <>
struct BPFEnumeration<BPFBytesSize> {
    static constexpr std::array allCases{BPFBytesSize::one, BPFBytesSize::two, BPFBytesSize::four};
    /// The case whose raw value is `raw` (1, 2 or 4); nothing for any other number.
    static std::optional<BPFBytesSize> fromRaw(long long raw) {
        for (BPFBytesSize value : allCases)
            if (rawValue(value) == raw) return value;
        return std::nullopt;
    }
};

}  // namespace qor
