#pragma once
// The shared base of the standard analyzers: defaults, node and text helpers, registration helpers.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORDependencies/Records.hpp"
#include "QORModels/analysis/QORNode.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/InternedString.hpp"
#include "QORPlatform/Value.hpp"

namespace qor::standard {

/// The part every analyzer of this plug-in shares: it keeps the bytes it was made from (from its
/// header to the end of the unexplained bytes), its header size and the protocol it carries.
///
/// Header sizes are clamped to the bytes that are there, so that a capture cut short never makes
/// the chain claim bytes it does not have; an analyzer that meets a short capture or a lying
/// header sets no next protocol, which ends the chain. `setNextProtocol` also refuses a next
/// protocol when the header is empty and names the analyzer's own protocol, so that no analyzer
/// of this plug-in can make the chain loop on the same bytes.
///
/// Analyzers are immutable once made; they may be read from any thread.
class AnalyzerBase : public QORPluginAnalyzerProtocol {
public:
    explicit AnalyzerBase(const Data& data) : data_(data) {}

    [[nodiscard]] std::uint16_t protocolSize() const override { return headerSize_; }
    /// The protocol's name, as `protocolNameInterned` gives it: each analyzer names its protocol
    /// there, once, from a name literal (`fixedName`).
    [[nodiscard]] std::optional<std::string> protocolName() const final { return protocolNameInterned().value(); }
    [[nodiscard]] InternedString protocolNameInterned() const override = 0;
    [[nodiscard]] std::optional<std::string> nextProtocol() const override { return next_.value(); }
    [[nodiscard]] InternedString nextProtocolInterned() const override { return next_; }
    /// True unless the analyzer said otherwise (`setHasPayload`) or its protocol's bytes always
    /// end with its header (ARP, DNS).
    [[nodiscard]] bool hasPayload() const override { return hasPayload_; }
    /// The summary of the bytes the analyzer was made from.
    [[nodiscard]] std::optional<std::string> protocolInfo() const override { return protocolInfo(data_); }
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data&) const override { return std::nullopt; }
    /// A packet's detail tree is built when someone looks at that packet, never on the way
    /// through a capture: every analyzer declares its `protocolNodes` cold (`[[gnu::cold]]`), so
    /// that the builders (a fifth of the plug-in's code) are laid out apart from the code every
    /// packet runs, and a pass over a capture maps the pages of the one and not of the other.
    [[nodiscard]] NodeList protocolNodes(const Data&) const override { return {}; }
    [[nodiscard]] Value value(std::string_view, const Data&) const override { return {}; }
    [[nodiscard]] std::string_view className() const override { return analyzerClass().name(); }
    [[nodiscard]] std::string description() const override;
    /// Key-value access to the answers: "protocolName", "protocolInfo", "protocolSize",
    /// "nextProtocol"; other keys as the root object answers them.
    [[nodiscard]] Value valueForKey(std::string_view key) const override;

    /// The bytes the analyzer was made from.
    [[nodiscard]] const Data& bytes() const noexcept { return data_; }

protected:
    /// A protocol-name literal as a template argument: `fixedName<"TCP">()`.
    template <std::size_t N>
    struct NameLiteral {
        char text[N];
        constexpr NameLiteral(const char (&literal)[N]) { std::copy_n(literal, N, text); }  // implicit: built from the literal argument
        [[nodiscard]] constexpr std::string_view view() const { return {text, N - 1}; }
    };
    /// The interned form of a protocol-name literal, made once: the walk asks every layer of
    /// every packet for its name.
    template <NameLiteral Name>
    static InternedString fixedName() {
        static const InternedString name(Name.view());
        return name;
    }
    /// Sets the header size, clamped to the bytes there are (and to 16 bits).
    void setHeaderSize(std::size_t size);
    /// Sets the carried protocol (see the class comment for the one refusal).
    void setNextProtocol(InternedString name);
    void setNextProtocol(const std::optional<std::string>& name) { setNextProtocol(InternedString::from(name)); }
    /// Says whether bytes after the header belong to this protocol's payload.
    void setHasPayload(bool hasPayload) noexcept { hasPayload_ = hasPayload; }

    Data data_;

private:
    std::uint16_t headerSize_ = 0;
    bool hasPayload_ = true;
    InternedString next_;  // protocol names are few: one pointer per analyzer
};

/// The shape every analyzer of this plug-in has: `Self` says whether bytes can be its protocol
/// with `static bool accepts(const Data&, const PacketRef&)` (any bytes, when it does not say)
/// and is built by a constructor `(const Data&, const PacketRef&)`; this gives it the factory
/// `create` that its class's `make` calls, and `inspect`, which builds it on the stack for the
/// analysis walk. `Base` is the class `Self` derives from (AnalyzerBase, or a shared part of
/// several analyzers).
///
/// A constructor does only what the walk asks for (header size, carried protocol, whether
/// there is a payload); summaries, detail nodes and attribute values are computed from the bytes
/// when asked. Nothing in an analyzer may rely on being owned by a shared pointer.
template <class Self, class Base = AnalyzerBase>
class StandardAnalyzer : public Base {
public:
    using Base::Base;

    /// Any bytes can be this protocol unless `Self` says otherwise.
    static bool accepts(const Data&, const PacketRef&) { return true; }

    /// A new analyzer for the bytes, or null when `Self` does not accept them.
    static std::shared_ptr<Self> create(const Data& data, const PacketRef& packet) {
        if (!Self::accepts(data, packet)) return nullptr;
        return std::make_shared<Self>(data, packet);
    }

    /// Builds the analyzer on the stack and shows it to `visit`; false when `Self` does not
    /// accept the bytes.
    static bool inspect(const Data& data, const PacketRef& packet, QORPluginAnalyzerClass::Visitor visit) {
        if (!Self::accepts(data, packet)) return false;
        const Self analyzer(data, packet);
        visit(analyzer);
        return true;
    }
};

// --- Attribute bytes ---------------------------------------------------------------------------

/// Attribute length that reaches to the end of the analyzer's bytes: the slice the packet hands
/// to `value(key, data:)` is clamped to what exists, so the analyzer sees its whole header and
/// finds a field of variable position itself.
inline constexpr std::uint32_t kToEndOfHeader = 0xFFFF;

/// The bytes of a fixed-place field out of what `value(key, data)` was given: the data itself when
/// it is exactly the field (the attribute's own slice), else the field at `offset` in the data
/// (the whole header); nothing when the bytes are not there. A view, valid while `data` is: it
/// takes no reference on the bytes' storage, which every packet of a file shares.
std::optional<std::span<const std::byte>> fieldBytes(const Data& data, std::size_t offset, std::size_t length);
/// A big-endian 16-bit field as `fieldBytes` finds it.
std::optional<std::uint16_t> fieldU16(const Data& data, std::size_t offset);
std::optional<std::uint32_t> fieldU32(const Data& data, std::size_t offset);
std::optional<std::uint8_t> fieldU8(const Data& data, std::size_t offset);
/// Little-endian fields as `fieldBytes` finds them (capture headers written in the capturing
/// host's byte order, 802.11 fields).
std::optional<std::uint16_t> fieldU16le(const Data& data, std::size_t offset);
std::optional<std::uint32_t> fieldU32le(const Data& data, std::size_t offset);
/// A big-endian field of 1 to 8 bytes as `fieldBytes` finds it, widened to 64 bits.
std::optional<std::uint64_t> fieldNumber(const Data& data, std::size_t offset, std::size_t length);

// --- Text ----------------------------------------------------------------------------------------

/// Longest run of bytes shown as hexadecimal or text in one detail value; longer values are cut
/// and end with an ellipsis, so a hostile length never makes a huge text.
inline constexpr std::size_t kMaxShownBytes = 256;

/// One row of a value-string table: a wire code and its name.
struct CodeName {
    std::uint32_t code;
    std::string_view name;
};

/// The name of a code, or nothing when the table has none.
std::optional<std::string_view> lookupName(std::span<const CodeName> table, std::uint32_t code);
/// The name of a code; a code without a name prints as its decimal number.
std::string nameFor(std::span<const CodeName> table, std::uint32_t code);
/// "Name (code)" with the code in decimal, or "Unknown (code)".
std::string nameWithCode(std::span<const CodeName> table, std::uint32_t code);
/// "Name (code)" with the code in decimal, or the decimal code alone when it has no name.
std::string namedCode(std::span<const CodeName> table, std::uint32_t code);
/// "Name (0x..)" with the code in hexadecimal of `digits` digits, or the hexadecimal code alone.
std::string namedHexCode(std::span<const CodeName> table, std::uint32_t code, int digits);
/// The name, or "Unknown (code)" when the table has none.
std::string nameOrUnknown(std::span<const CodeName> table, std::uint32_t code);

/// "0x" and `digits` lower-case hexadecimal digits (1 to 16; more digits show when the value
/// needs them).
std::string hexText(std::uint64_t value, int digits);
/// Appends `hexText(value, digits)` to `out`.
void appendHexText(std::string& out, std::uint64_t value, int digits);
/// Appends `value` in decimal to `out` (summary lines are built by appending to one string).
void appendDecimal(std::string& out, std::uint64_t value);
/// The IPv4 address at `offset` in the bytes; nothing when its 4 bytes are not all there.
std::optional<std::string> ipv4TextAt(std::span<const std::byte> bytes, std::size_t offset);
/// The IPv6 address at `offset` in the bytes; nothing when its 16 bytes are not all there.
std::optional<std::string> ipv6TextAt(std::span<const std::byte> bytes, std::size_t offset);
/// Bytes as lower-case hex with no separator, cut after `kMaxShownBytes` bytes ("…" appended).
std::string hexBytes(std::span<const std::byte> bytes);
/// The bytes as text: printable ASCII as it is, anything else as "\xNN"; cut like `hexBytes`.
std::string printableText(std::span<const std::byte> bytes);
/// The same for a text view.
std::string printableText(std::string_view text);
/// A MAC-48 (or any) link-layer address as lower-case hex bytes joined by ":".
std::string macText(std::span<const std::byte> bytes);
/// Four bytes as dotted-quad IPv4 text; nothing for any other length.
std::optional<std::string> ipv4Text(std::span<const std::byte> bytes);
/// Sixteen bytes as IPv6 text in the RFC 5952 form: lower case, no leading zeros, the longest
/// run of two or more zero groups (the first of equal runs) compressed to "::", and IPv4-mapped
/// addresses (::ffff:0:0/96) with the IPv4 part as a dotted quad, as tshark prints them. Nothing
/// for any other length.
std::optional<std::string> ipv6Text(std::span<const std::byte> bytes);

// --- Detail nodes --------------------------------------------------------------------------------

/// A detail node with a name, a value text and the byte range (relative to the analyzer's own
/// header) it describes.
std::shared_ptr<QORNode> field(std::string name, std::string value, std::size_t location, std::size_t length);
/// Adds a field node under `parent` and gives it (for grandchildren).
std::shared_ptr<QORNode> addField(const std::shared_ptr<QORNode>& parent, std::string name, std::string value,
                                  std::size_t location, std::size_t length);
/// Adds `child` under `parent` and gives `child`.
std::shared_ptr<QORNode> addChild(const std::shared_ptr<QORNode>& parent, std::shared_ptr<QORNode> child);
/// The first node of an analyzer's flat list: the protocol's title with its summary as value,
/// over the analyzer's whole header. The named fields follow it at the top level of the list,
/// where readers that look values up by node name (subscriber sessions) find them.
std::shared_ptr<QORNode> heading(std::string title, std::optional<std::string> summary, std::size_t length);
/// "0x" + hex, then the bits named: "0x0012 (SYN, ACK)".
std::string flagsText(std::uint32_t value, int digits, const std::vector<std::string>& names);

// --- Registration --------------------------------------------------------------------------------

/// The superclass of analyzer classes that share attribute keys (TCP and UDP share "srcPort" and
/// "dstPort"): the attribute names this class, and the packet finds the owner by a kind-of test.
/// It makes no analyzers itself.
class AbstractAnalyzerClass final : public QORPluginAnalyzerClass {
public:
    explicit AbstractAnalyzerClass(std::string name) : name_(std::move(name)) {}
    [[nodiscard]] std::string_view name() const override { return name_; }
    [[nodiscard]] AnalyzerRef make(const Data&, const PacketRef&) const override { return nullptr; }

private:
    std::string name_;
};

/// Keeps a class registered in the process-wide class registry by its name while the plug-in's
/// library is loaded (tests and tools look classes up by name there); unloading the library
/// unregisters it.
class ClassRegistration {
public:
    explicit ClassRegistration(std::shared_ptr<const RuntimeClass> cls);
    ~ClassRegistration();
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;

private:
    std::string name_;
};

/// The class of an analyzer of this plug-in, registered under its name for as long as the
/// library is loaded: `const AnalyzerClassRegistration<TcpAnalyzer> kClass{"TcpAnalyzer", super};`.
/// It converts to the `AnalyzerClassRef` that families and attributes name. `Class` is the class
/// object's type, when the class does more than make analyzers (stream interpretation).
template <class Analyzer, class Class = AnalyzerClassOf<Analyzer>>
class AnalyzerClassRegistration {
public:
    explicit AnalyzerClassRegistration(std::string name, const RuntimeClass* superclass = nullptr)
        : class_(std::make_shared<const Class>(std::move(name), superclass)), registration_(class_) {}

    [[nodiscard]] const QORPluginAnalyzerClass& operator*() const noexcept { return *class_; }
    // NOLINTNEXTLINE(google-explicit-constructor): a registered class is used where a class is named
    operator AnalyzerClassRef() const { return class_; }

private:
    std::shared_ptr<const Class> class_;
    ClassRegistration registration_;
};

/// A target protocol reached by name only (carried by another analyzer of this plug-in, or from
/// an IP protocol number).
QORPlugInNetworkProtocol namedTarget(std::string name, std::optional<std::uint32_t> size = std::nullopt);
/// A target protocol reached through an ether type.
QORPlugInNetworkProtocol etherTypeTarget(std::string name, std::uint32_t etherType,
                                         std::optional<std::uint32_t> size = std::nullopt);
/// A target protocol reached through a capture file's link type.
QORPlugInNetworkProtocol linkTypeTarget(std::string name, std::uint32_t linkType,
                                        std::optional<std::uint32_t> size = std::nullopt);
/// A target protocol reached through TCP or UDP ports.
QORPlugInNetworkProtocol portsTarget(std::string name, std::vector<std::int64_t> ports, kQORSourceProtocols transport,
                                     std::optional<std::uint32_t> size = std::nullopt);

/// An attribute: offset and length count from the start of the analyzer's header.
QORPlugInAnalyzerAttribute attribute(const AnalyzerClassRef& cls, std::string title, std::string key,
                                     AttributeValueType type, std::uint32_t offset, std::uint32_t length);

/// A packet-table column whose filter matches when the value's text contains what the user typed
/// (case-insensitive): display name "<title> contains", predicate format "<key> CONTAINS[c]
/// $value" for text, "<key>.description CONTAINS[c] $value" for numbers. What the user types is
/// text either way, so the filter's value type is text.
QORPlugInColumn containsColumn(std::string title, std::string key, AttributeValueType type);
/// A column with an explicit display name and predicate format. The value type is given to the
/// filter editor by the names it knows: "Int" and "UInt" for integers, "Double", "NSNumber" for
/// flags, "NSData" for bytes and "NSString" for text.
QORPlugInColumn column(std::string title, std::string keyPath, std::string displayName, std::string predicateFormat,
                       AttributeValueType type);

// --- Dispatch ------------------------------------------------------------------------------------

/// The protocol an analyzer claimed for a TCP (or UDP) port pair: the lower port is asked first,
/// then the other one; a null handle when neither has one.
InternedString protocolForPorts(bool tcp, std::uint16_t sourcePort, std::uint16_t destinationPort);
/// The protocol name for an ether type (the shared protocol-strings table); lengths of 802.3
/// frames (up to 1500) give "LLC".
InternedString protocolForEtherType(std::uint16_t etherType);
/// Display name of an ether type: "IPv4 (0x0800)".
std::string etherTypeText(std::uint16_t etherType);
/// The protocol name for an IP protocol number (shared by IPv4 and IPv6); nothing for protocols
/// no standard analyzer continues with.
InternedString protocolForIPProtocol(std::uint8_t number);
/// Display name of an IP protocol number: "TCP (6)".
std::string ipProtocolText(std::uint8_t number);

/// Where `mine` starts inside the packet's captured bytes, when both share one buffer (the
/// pipeline cuts every analyzer's bytes out of the packet's); used to look at the enclosing header.
std::optional<std::size_t> offsetInPacket(const Data& mine, const PacketRef& packet, Data& packetBytes);

}  // namespace qor::standard
