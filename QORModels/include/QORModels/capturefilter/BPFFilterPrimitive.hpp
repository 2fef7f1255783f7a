#pragma once
// One typed test of a capture filter (a host, a port, a protocol, a byte comparison, ...).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "QORModels/capturefilter/BPFFilterEnumerations.hpp"

namespace qor {

/// One typed test of a capture filter, rendered as a libpcap filter primitive.
///
/// A tagged variant: each case is a small record named after the case with its first letter in
/// upper case (`Host` for `host`), built directly or through the factory named after the case
/// (`BPFFilterPrimitive::host(...)`). Values the user typed (addresses, ports, numbers, names) are
/// kept as text exactly as typed; nothing here parses or checks them: the validator checks the
/// whole expression. Cases whose only field has no name keep it in `value`.
///
/// A plain value: copies are independent, and a value may be read from any number of threads.
class BPFFilterPrimitive {
public:
    struct Host {
        BPFDirection direction = BPFDirection::any;
        BPFAddressFamily family = BPFAddressFamily::auto_;
        std::string value;
        friend bool operator==(const Host&, const Host&) = default;
    };
    struct EtherHost {
        BPFDirection direction = BPFDirection::any;
        std::string mac;
        friend bool operator==(const EtherHost&, const EtherHost&) = default;
    };
    struct Gateway {
        std::string host;
        friend bool operator==(const Gateway&, const Gateway&) = default;
    };
    struct Net {
        BPFDirection direction = BPFDirection::any;
        BPFAddressFamily family = BPFAddressFamily::auto_;
        std::string value;
        std::optional<std::string> mask;  ///< ignored when `cidr` is present
        std::optional<std::int64_t> cidr;
        friend bool operator==(const Net&, const Net&) = default;
    };
    struct Port {
        BPFDirection direction = BPFDirection::any;
        BPFPortProto proto = BPFPortProto::any;
        std::string value;
        friend bool operator==(const Port&, const Port&) = default;
    };
    struct Portrange {
        BPFDirection direction = BPFDirection::any;
        BPFPortProto proto = BPFPortProto::any;
        std::string from;
        std::string to;
        friend bool operator==(const Portrange&, const Portrange&) = default;
    };
    struct NamedProto {
        BPFNamedProto value = BPFNamedProto::ip;
        friend bool operator==(const NamedProto&, const NamedProto&) = default;
    };
    struct ExplicitProto {
        BPFAddressFamily family = BPFAddressFamily::auto_;
        bool chain = false;  ///< "protochain" (follow the IPv6 extension-header chain) instead of "proto"
        std::string protocolName;
        friend bool operator==(const ExplicitProto&, const ExplicitProto&) = default;
    };
    struct EtherProto {
        std::string protocolName;
        friend bool operator==(const EtherProto&, const EtherProto&) = default;
    };
    struct Broadcast {
        BPFBroadcastScope scope = BPFBroadcastScope::ether;
        friend bool operator==(const Broadcast&, const Broadcast&) = default;
    };
    struct Multicast {
        BPFMulticastScope scope = BPFMulticastScope::ether;
        friend bool operator==(const Multicast&, const Multicast&) = default;
    };
    struct Length {
        BPFLengthMode mode = BPFLengthMode::less;
        std::string value;
        friend bool operator==(const Length&, const Length&) = default;
    };
    struct Vlan {
        std::optional<std::string> id;
        friend bool operator==(const Vlan&, const Vlan&) = default;
    };
    struct Mpls {
        std::optional<std::string> label;
        friend bool operator==(const Mpls&, const Mpls&) = default;
    };
    struct Pppoed {
        friend bool operator==(const Pppoed&, const Pppoed&) = default;
    };
    struct Pppoes {
        std::optional<std::string> session;
        friend bool operator==(const Pppoes&, const Pppoes&) = default;
    };
    struct Geneve {
        std::optional<std::string> vni;
        friend bool operator==(const Geneve&, const Geneve&) = default;
    };
    struct Vxlan {
        std::optional<std::string> vni;
        friend bool operator==(const Vxlan&, const Vxlan&) = default;
    };
    struct LinkDirection {
        BPFLinkDirection value = BPFLinkDirection::inbound;
        friend bool operator==(const LinkDirection&, const LinkDirection&) = default;
    };
    struct WlanAddress {
        BPFWlanAddressField field = BPFWlanAddressField::ra;
        std::string mac;
        friend bool operator==(const WlanAddress&, const WlanAddress&) = default;
    };
    struct WlanType {
        BPFWlanFrameType type = BPFWlanFrameType::mgt;
        std::optional<std::string> subtype;
        friend bool operator==(const WlanType&, const WlanType&) = default;
    };
    struct WlanDirection {
        BPFWlanDirection value = BPFWlanDirection::nods;
        friend bool operator==(const WlanDirection&, const WlanDirection&) = default;
    };
    struct ByteComparison {
        BPFBytesProto proto = BPFBytesProto::ether;
        std::string offset;
        BPFBytesSize size = BPFBytesSize::one;
        BPFRelop relop = BPFRelop::eq;
        std::string value;
        friend bool operator==(const ByteComparison&, const ByteComparison&) = default;
    };
    /// A hand-written expression.
    struct Raw {
        std::string value;
        friend bool operator==(const Raw&, const Raw&) = default;
    };

    /// The cases in declaration order; the index of a case is its position here.
    using Storage = std::variant<Host, EtherHost, Gateway, Net, Port, Portrange, NamedProto, ExplicitProto, EtherProto,
                                 Broadcast, Multicast, Length, Vlan, Mpls, Pppoed, Pppoes, Geneve, Vxlan, LinkDirection,
                                 WlanAddress, WlanType, WlanDirection, ByteComparison, Raw>;

    /// An empty hand-written expression.
    BPFFilterPrimitive() : storage_(Raw{}) {}
    /// The primitive holding the case `payload`.
    template <class Case>
        requires std::is_constructible_v<Storage, Case&&> && (!std::is_same_v<std::remove_cvref_t<Case>, BPFFilterPrimitive>)
    BPFFilterPrimitive(Case&& payload) : storage_(std::forward<Case>(payload)) {}  // NOLINT: implicit by design

    static BPFFilterPrimitive host(BPFDirection direction, BPFAddressFamily family, std::string value) {
        return Host{direction, family, std::move(value)};
    }
    static BPFFilterPrimitive etherHost(BPFDirection direction, std::string mac) {
        return EtherHost{direction, std::move(mac)};
    }
    static BPFFilterPrimitive gateway(std::string host) { return Gateway{std::move(host)}; }
    static BPFFilterPrimitive net(BPFDirection direction, BPFAddressFamily family, std::string value,
                                  std::optional<std::string> mask = std::nullopt,
                                  std::optional<std::int64_t> cidr = std::nullopt) {
        return Net{direction, family, std::move(value), std::move(mask), cidr};
    }
    static BPFFilterPrimitive port(BPFDirection direction, BPFPortProto proto, std::string value) {
        return Port{direction, proto, std::move(value)};
    }
    static BPFFilterPrimitive portrange(BPFDirection direction, BPFPortProto proto, std::string from, std::string to) {
        return Portrange{direction, proto, std::move(from), std::move(to)};
    }
    static BPFFilterPrimitive namedProto(BPFNamedProto proto) { return NamedProto{proto}; }
    static BPFFilterPrimitive explicitProto(BPFAddressFamily family, bool chain, std::string protocolName) {
        return ExplicitProto{family, chain, std::move(protocolName)};
    }
    static BPFFilterPrimitive etherProto(std::string protocolName) { return EtherProto{std::move(protocolName)}; }
    static BPFFilterPrimitive broadcast(BPFBroadcastScope scope) { return Broadcast{scope}; }
    static BPFFilterPrimitive multicast(BPFMulticastScope scope) { return Multicast{scope}; }
    static BPFFilterPrimitive length(BPFLengthMode mode, std::string value) { return Length{mode, std::move(value)}; }
    static BPFFilterPrimitive vlan(std::optional<std::string> id = std::nullopt) { return Vlan{std::move(id)}; }
    static BPFFilterPrimitive mpls(std::optional<std::string> label = std::nullopt) { return Mpls{std::move(label)}; }
    static BPFFilterPrimitive pppoed() { return Pppoed{}; }
    static BPFFilterPrimitive pppoes(std::optional<std::string> session = std::nullopt) {
        return Pppoes{std::move(session)};
    }
    static BPFFilterPrimitive geneve(std::optional<std::string> vni = std::nullopt) { return Geneve{std::move(vni)}; }
    static BPFFilterPrimitive vxlan(std::optional<std::string> vni = std::nullopt) { return Vxlan{std::move(vni)}; }
    static BPFFilterPrimitive linkDirection(BPFLinkDirection direction) { return LinkDirection{direction}; }
    static BPFFilterPrimitive wlanAddress(BPFWlanAddressField field, std::string mac) {
        return WlanAddress{field, std::move(mac)};
    }
    static BPFFilterPrimitive wlanType(BPFWlanFrameType type, std::optional<std::string> subtype = std::nullopt) {
        return WlanType{type, std::move(subtype)};
    }
    static BPFFilterPrimitive wlanDirection(BPFWlanDirection direction) { return WlanDirection{direction}; }
    static BPFFilterPrimitive byteComparison(BPFBytesProto proto, std::string offset, BPFBytesSize size, BPFRelop relop,
                                             std::string value) {
        return ByteComparison{proto, std::move(offset), size, relop, std::move(value)};
    }
    static BPFFilterPrimitive raw(std::string expression) { return Raw{std::move(expression)}; }

    /// The case and its fields.
    [[nodiscard]] const Storage& value() const { return storage_; }
    /// The fields of case `Case`, or null when the primitive holds another case.
    template <class Case>
    [[nodiscard]] const Case* getIf() const {
        return std::get_if<Case>(&storage_);
    }
    /// The name of the case, as in the serialised form ("host", "etherHost", ...).
    [[nodiscard]] std::string_view caseName() const;

    /// The libpcap filter expression text of this primitive; see the source for the rule of each case.
    [[nodiscard]] std::string rendered() const;

    /// A hash consistent with `==`.
    [[nodiscard]] std::size_t hashValue() const;

    friend bool operator==(const BPFFilterPrimitive&, const BPFFilterPrimitive&) = default;

private:
    Storage storage_;
};

/// The name of the case at `index` of `BPFFilterPrimitive::Storage` ("host" for 0, ..., "raw" for 23).
std::string_view bpfFilterPrimitiveCaseName(std::size_t index);

}  // namespace qor

template <>
struct std::hash<qor::BPFFilterPrimitive> {
    std::size_t operator()(const qor::BPFFilterPrimitive& primitive) const noexcept { return primitive.hashValue(); }
};
