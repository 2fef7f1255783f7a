// The shared base of the standard analyzers.

#include "AnalyzerBase.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include <fmt/format.h>

#include "QORCommonTools/ByteReader.hpp"
#include "QORModels/analysis/QORPortsController.hpp"
#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/RuntimeClass.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor::standard {

std::string AnalyzerBase::description() const {
    return std::string(analyzerClass().name()) + " " + protocolName().value_or("") + " (" +
           std::to_string(protocolSize()) + " bytes)";
}

Value AnalyzerBase::valueForKey(std::string_view key) const {
    if (key == "protocolName") return Value(protocolName());
    if (key == "protocolInfo") return Value(protocolInfo(data_));
    if (key == "protocolSize") return Value(static_cast<unsigned>(protocolSize()));
    if (key == "nextProtocol") return Value(nextProtocol());
    return NSObject::valueForKey(key);
}

void AnalyzerBase::setHeaderSize(std::size_t size) {
    size = std::min({size, data_.size(), std::size_t{UINT16_MAX}});
    headerSize_ = static_cast<std::uint16_t>(size);
}

void AnalyzerBase::setNextProtocol(InternedString name) {
    if (name.hasValue() && name.view().empty()) name = InternedString();
    if (name.hasValue() && headerSize_ == 0 && name == protocolNameInterned()) name = InternedString();
    next_ = name;
}

// --- Attribute bytes ---------------------------------------------------------------------------

namespace {
/// Where a fixed-place field starts in what `value(key, data)` was given: 0 when the data is
/// exactly the field (the attribute's own slice), else `offset` in the data (the whole header);
/// nothing when the field's bytes are not all there.
std::optional<std::size_t> fieldStart(const Data& data, std::size_t offset, std::size_t length) {
    if (data.size() == length) return 0;
    if (offset > data.size() || data.size() - offset < length) return std::nullopt;
    return offset;
}

/// The field as a view: field reads run for every attribute of every filtered packet, and a
/// view of the bytes costs no reference count on their storage.
std::optional<ByteReader> fieldReader(const Data& data, std::size_t offset, std::size_t length) {
    const auto start = fieldStart(data, offset, length);
    if (!start) return std::nullopt;
    return ByteReader(data.span()).sliceAt(*start, length);
}

/// The field of `T`'s size as a number stored in `order`.
template <class T>
std::optional<T> fieldNumberAs(const Data& data, std::size_t offset, std::endian order) {
    auto bytes = fieldReader(data, offset, sizeof(T));
    if (!bytes) return std::nullopt;
    return bytes->template load<T>(0, std::endian::native != order);
}
}  // namespace

std::optional<std::span<const std::byte>> fieldBytes(const Data& data, std::size_t offset, std::size_t length) {
    auto reader = fieldReader(data, offset, length);
    if (!reader) return std::nullopt;
    return reader->rest();
}

std::optional<std::uint8_t> fieldU8(const Data& data, std::size_t offset) { return fieldNumberAs<std::uint8_t>(data, offset, std::endian::big); }
std::optional<std::uint16_t> fieldU16(const Data& data, std::size_t offset) { return fieldNumberAs<std::uint16_t>(data, offset, std::endian::big); }
std::optional<std::uint32_t> fieldU32(const Data& data, std::size_t offset) { return fieldNumberAs<std::uint32_t>(data, offset, std::endian::big); }
std::optional<std::uint16_t> fieldU16le(const Data& data, std::size_t offset) { return fieldNumberAs<std::uint16_t>(data, offset, std::endian::little); }
std::optional<std::uint32_t> fieldU32le(const Data& data, std::size_t offset) { return fieldNumberAs<std::uint32_t>(data, offset, std::endian::little); }

std::optional<std::uint64_t> fieldNumber(const Data& data, std::size_t offset, std::size_t length) {
    auto bytes = fieldReader(data, offset, length);
    if (!bytes) return std::nullopt;
    return bytes->readUBE(length);
}

// --- Text ----------------------------------------------------------------------------------------

std::optional<std::string_view> lookupName(std::span<const CodeName> table, std::uint32_t code) {
    for (const auto& row : table)
        if (row.code == code) return row.name;
    return std::nullopt;
}

std::string nameFor(std::span<const CodeName> table, std::uint32_t code) {
    if (auto name = lookupName(table, code)) return std::string(*name);
    return std::to_string(code);
}

std::string nameWithCode(std::span<const CodeName> table, std::uint32_t code) {
    return fmt::format("{} ({})", lookupName(table, code).value_or("Unknown"), code);
}

std::string namedCode(std::span<const CodeName> table, std::uint32_t code) {
    auto name = lookupName(table, code);
    if (!name) return std::to_string(code);
    return fmt::format("{} ({})", *name, code);
}

std::string namedHexCode(std::span<const CodeName> table, std::uint32_t code, int digits) {
    auto name = lookupName(table, code);
    if (!name) return hexText(code, digits);
    return fmt::format("{} ({})", *name, hexText(code, digits));
}

std::string nameOrUnknown(std::span<const CodeName> table, std::uint32_t code) {
    auto name = lookupName(table, code);
    if (!name) return fmt::format("Unknown ({})", code);
    return std::string(*name);
}

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";

/// Writes `value` in lower-case hexadecimal with at least `digits` digits (leading zeros, 16 at
/// most) at `at`; gives the end of what it wrote. Inlined: an IPv6 address writes eight groups.
[[gnu::always_inline]] inline char* writeHex(char* at, std::uint64_t value, int digits) {
    const int needed = std::max(1, (static_cast<int>(std::bit_width(value)) + 3) / 4);
    const int count = std::min(std::max(needed, digits), 16);
    for (int i = count - 1; i >= 0; --i, value >>= 4) at[i] = kHexDigits[value & 0xF];
    return at + count;
}

/// Appends `value` as `writeHex` writes it.
void appendHex(std::string& out, std::uint64_t value, int digits) {
    char text[16];
    out.append(text, static_cast<std::size_t>(writeHex(text, value, digits) - text));
}
}  // namespace

std::string hexText(std::uint64_t value, int digits) {
    std::string out;
    appendHexText(out, value, digits);
    return out;
}

void appendHexText(std::string& out, std::uint64_t value, int digits) {
    out += "0x";
    appendHex(out, value, std::clamp(digits, 1, 16));
}

void appendDecimal(std::string& out, std::uint64_t value) {
    const fmt::format_int digits(value);
    out.append(digits.data(), digits.size());
}

std::optional<std::string> ipv4TextAt(std::span<const std::byte> bytes, std::size_t offset) {
    auto address = ByteReader(bytes).bytesAt(offset, 4);
    if (!address) return std::nullopt;
    return ipv4Text(*address);
}

std::optional<std::string> ipv6TextAt(std::span<const std::byte> bytes, std::size_t offset) {
    auto address = ByteReader(bytes).bytesAt(offset, 16);
    if (!address) return std::nullopt;
    return ipv6Text(*address);
}

namespace {
/// Writes the two hex digits of `b` at `at`.
void writeOctet(char* at, std::byte b) {
    at[0] = kHexDigits[std::to_integer<unsigned>(b) >> 4];
    at[1] = kHexDigits[std::to_integer<unsigned>(b) & 0xF];
}
}  // namespace

std::string hexBytes(std::span<const std::byte> bytes) {
    const std::size_t shown = std::min(bytes.size(), kMaxShownBytes);
    std::string out(shown * 2, '0');
    std::size_t i = 0;
    for (const std::byte b : bytes) {
        if (i == shown) break;
        writeOctet(&out[2 * i++], b);
    }
    if (shown < bytes.size()) out += "…";
    return out;
}

std::string printableText(std::string_view text) {
    std::size_t shown = std::min(text.size(), kMaxShownBytes);
    std::string out;
    out.reserve(shown);
    for (char ch : text.substr(0, shown)) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            appendHex(out, c, 2);
        }
    }
    if (shown < text.size()) out += "…";
    return out;
}

std::string printableText(std::span<const std::byte> bytes) {
    return printableText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string macText(std::span<const std::byte> bytes) {
    // Every packet of a link-layer listing and every session event has two: one allocation each.
    std::string out(bytes.empty() ? 0 : bytes.size() * 3 - 1, ':');
    std::size_t at = 0;
    for (const std::byte b : bytes) {
        writeOctet(&out[at], b);
        at += 3;
    }
    return out;
}

namespace {
/// The decimal digits of every octet value, built once: every listed IPv4 packet renders two
/// addresses.
struct OctetDigits {
    std::array<std::array<char, 3>, 256> digits{};
    std::array<std::uint8_t, 256> length{};
    constexpr OctetDigits() {
        for (unsigned v = 0; v < 256; ++v) {
            std::uint8_t n = 0;
            if (v >= 100) digits[v][n++] = static_cast<char>('0' + v / 100);
            if (v >= 10) digits[v][n++] = static_cast<char>('0' + v / 10 % 10);
            digits[v][n++] = static_cast<char>('0' + v % 10);
            length[v] = n;
        }
    }
};
constexpr OctetDigits kOctetDigits;

/// The longest dotted quad.
constexpr std::size_t kMaxIPv4Text = 15;
/// Writes an IPv4 address as a dotted quad at `at`; gives the end of what it wrote. Each octet's
/// digits are copied as three bytes, which stays within `kMaxIPv4Text` bytes: the last octet
/// starts 12 bytes in at most.
char* writeIPv4(char* at, std::uint32_t address) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned octet = (address >> shift) & 0xFF;
        std::memcpy(at, kOctetDigits.digits[octet].data(), 3);
        at += kOctetDigits.length[octet];
        if (shift != 0) *at++ = '.';
    }
    return at;
}
}  // namespace

std::optional<std::string> ipv4Text(std::span<const std::byte> bytes) {
    ByteReader r(bytes);
    auto address = r.readU32be();
    if (!address || !r.empty()) return std::nullopt;
    // Written straight into the text's own buffer, which a dotted quad fits without a heap block.
    std::string text(kMaxIPv4Text, '\0');
    text.resize(static_cast<std::size_t>(writeIPv4(text.data(), *address) - text.data()));
    return text;
}

std::optional<std::string> ipv6Text(std::span<const std::byte> bytes) {
    constexpr std::size_t kGroups = 8;
    constexpr std::size_t kMappedPrefix = 12;  // ::ffff: in bytes
    if (bytes.size() != 16) return std::nullopt;
    std::array<std::uint16_t, kGroups> groups{};
    ByteReader r(bytes);
    for (auto& group : groups) group = *r.readU16be();

    // IPv4-mapped addresses keep their IPv4 part readable (RFC 5952, section 5).
    bool mapped = std::all_of(groups.begin(), groups.begin() + 5, [](auto g) { return g == 0; }) && groups[5] == 0xffff;
    std::size_t hexGroups = mapped ? 6 : kGroups;

    // The longest run of at least two zero groups; the first one wins a tie.
    std::size_t bestStart = kGroups, bestLength = 0;
    for (std::size_t i = 0; i < hexGroups;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < hexGroups && groups[j] == 0) ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    if (bestLength < 2) bestStart = kGroups;

    // Written into a buffer and made a string once: eight groups of four digits and their
    // colons at most, or six groups and a dotted quad (with the room `writeIPv4` needs).
    char text[48];
    char* at = text;
    for (std::size_t i = 0; i < hexGroups; ++i) {
        if (i == bestStart) {
            *at++ = ':';
            *at++ = ':';
            i += bestLength - 1;
            continue;
        }
        if (at != text && at[-1] != ':') *at++ = ':';
        at = writeHex(at, groups[i], 1);
    }
    if (mapped) {
        if (at[-1] != ':') *at++ = ':';
        r.seek(kMappedPrefix);
        at = writeIPv4(at, *r.readU32be());
    }
    return std::string(text, at);
}

// --- Detail nodes --------------------------------------------------------------------------------

std::shared_ptr<QORNode> field(std::string name, std::string value, std::size_t location, std::size_t length) {
    auto node = QORNode::nodeWithName(std::move(name));
    node->setNodeValue(std::move(value));
    node->at(location, length);
    return node;
}

std::shared_ptr<QORNode> addField(const std::shared_ptr<QORNode>& parent, std::string name, std::string value,
                                  std::size_t location, std::size_t length) {
    auto node = field(std::move(name), std::move(value), location, length);
    parent->addChild(node);
    return node;
}

std::shared_ptr<QORNode> addChild(const std::shared_ptr<QORNode>& parent, std::shared_ptr<QORNode> child) {
    parent->addChild(child);
    return child;
}

std::shared_ptr<QORNode> heading(std::string title, std::optional<std::string> summary, std::size_t length) {
    return field(std::move(title), summary.value_or(""), 0, length);
}

std::string flagsText(std::uint32_t value, int digits, const std::vector<std::string>& names) {
    std::string out = hexText(value, digits);
    if (names.empty()) return out;
    out += " (";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += names[i];
    }
    return out + ")";
}

// --- Registration --------------------------------------------------------------------------------

ClassRegistration::ClassRegistration(std::shared_ptr<const RuntimeClass> cls) : name_(cls->name()) {
    ClassRegistry::shared().registerClass(std::move(cls));
}

ClassRegistration::~ClassRegistration() { ClassRegistry::shared().unregisterClass(name_); }

QORPlugInNetworkProtocol namedTarget(std::string name, std::optional<std::uint32_t> size) {
    QORPlugInNetworkProtocol p;
    p.id = UUID();
    p.protocolName = std::move(name);
    p.size = size;
    return p;
}

QORPlugInNetworkProtocol etherTypeTarget(std::string name, std::uint32_t etherType, std::optional<std::uint32_t> size) {
    auto p = namedTarget(std::move(name), size);
    p.ethertype = etherType;
    return p;
}

QORPlugInNetworkProtocol linkTypeTarget(std::string name, std::uint32_t linkType, std::optional<std::uint32_t> size) {
    auto p = namedTarget(std::move(name), size);
    p.linktype = linkType;
    return p;
}

QORPlugInNetworkProtocol portsTarget(std::string name, std::vector<std::int64_t> ports, kQORSourceProtocols transport,
                                     std::optional<std::uint32_t> size) {
    auto p = namedTarget(std::move(name), size);
    p.protocolPorts = std::move(ports);
    p.sourceProtocol = transport;
    return p;
}

QORPlugInAnalyzerAttribute attribute(const AnalyzerClassRef& cls, std::string title, std::string key,
                                     AttributeValueType type, std::uint32_t offset, std::uint32_t length) {
    QORPlugInAnalyzerAttribute a;
    a.plugInAnalyzerClass = cls;
    a.attributeTitle = std::move(title);
    a.attributeKey = std::move(key);
    a.attributeType = type;
    a.attributeOffset = offset;
    a.attributeLength = length;
    return a;
}

namespace {

/// The name of a column's value type in the filter editor's vocabulary.
std::string_view filterValueTypeName(AttributeValueType type) {
    switch (type) {
        case AttributeValueType::string: return "NSString";
        case AttributeValueType::int64: return "Int";
        case AttributeValueType::uint32:
        case AttributeValueType::uint16:
        case AttributeValueType::uint8: return "UInt";
        case AttributeValueType::double_: return "Double";
        case AttributeValueType::bool_: return "NSNumber";
        case AttributeValueType::data: return "NSData";
    }
    return "NSString";
}

}  // namespace

QORPlugInColumn column(std::string title, std::string keyPath, std::string displayName, std::string predicateFormat,
                       AttributeValueType type) {
    QORPlugInColumn c;
    c.columnTitle = std::move(title);
    c.keyPath = std::move(keyPath);
    c.predicateOptions[NSDisplayNameBindingOption] = std::move(displayName);
    c.predicateOptions[NSPredicateFormatBindingOption] = std::move(predicateFormat);
    c.predicateOptions[std::string(rawValue(QORProtocolKonstants::kQORValueType))] = std::string(filterValueTypeName(type));
    return c;
}

QORPlugInColumn containsColumn(std::string title, std::string key, AttributeValueType type) {
    std::string format = type == AttributeValueType::string ? key + " CONTAINS[c] $value"
                                                            : key + ".description CONTAINS[c] $value";
    std::string display = title + " contains";
    return column(std::move(title), std::move(key), std::move(display), std::move(format), AttributeValueType::string);
}

// --- Dispatch ------------------------------------------------------------------------------------

InternedString protocolForPorts(bool tcp, std::uint16_t sourcePort, std::uint16_t destinationPort) {
    // The shared controller lives as long as the process; holding it here spares every lookup a
    // reference count on the one object all analysing threads share.
    static const auto ports = QORPortsController::sharedPortsController();
    if (!ports) return {};
    std::uint16_t low = std::min(sourcePort, destinationPort), high = std::max(sourcePort, destinationPort);
    if (auto name = ports->analyzerProtocolNameForPort(tcp, low); name.hasValue()) return name;
    if (high != low) return ports->analyzerProtocolNameForPort(tcp, high);
    return {};
}

namespace {
/// Largest value of the 802.3 length field; larger values are ether types.
constexpr std::uint16_t kMaxIEEE8023Length = 1500;

constexpr CodeName kEtherTypeNames[] = {
    {0x0800, "IPv4"},   {0x0806, "ARP"},   {0x8035, "RARP"},     {0x8100, "802.1Q Virtual LAN"},
    {0x86DD, "IPv6"},   {0x8847, "MPLS"},  {0x8848, "MPLS multicast"}, {0x8863, "PPPoE Discovery"},
    {0x8864, "PPPoE Session"}, {0x888E, "802.1X Authentication"}, {0x88A8, "802.1ad Provider Bridge (Q-in-Q)"},
    {0x88CC, "802.1 Link Layer Discovery Protocol (LLDP)"}, {0x88E5, "802.1AE (MACsec)"}, {0x9100, "VLAN tag (0x9100)"},
};

// IANA protocol numbers (Assigned Internet Protocol Numbers registry).
constexpr CodeName kIPProtocolNames[] = {
    {0, "IPv6 Hop-by-Hop Option"}, {1, "ICMP"}, {2, "IGMP"}, {4, "IPIP"}, {6, "TCP"}, {17, "UDP"}, {41, "IPv6"},
    {43, "IPv6 Routing"}, {44, "IPv6 Fragment"}, {47, "GRE"}, {50, "ESP"}, {51, "AH"}, {58, "ICMPv6"},
    {59, "IPv6 No Next Header"}, {60, "IPv6 Destination Options"}, {89, "OSPF"}, {103, "PIM"}, {112, "VRRP"},
    {115, "L2TP"}, {132, "SCTP"},
};

// The protocol names the chain continues with, by IP protocol number.
constexpr CodeName kIPProtocolAnalyzers[] = {
    {1, "ICMP"}, {4, "IP"}, {6, "TCP"}, {17, "UDP"}, {41, "IPv6"}, {47, "GRE"}, {58, "ICMPv6"},
};
}  // namespace

InternedString protocolForEtherType(std::uint16_t etherType) {
    static const InternedString kLLC("LLC");
    if (etherType <= kMaxIEEE8023Length) return kLLC;
    // The names of the few ether types a capture carries, per thread, while the shared table is
    // unchanged: the walk asks once per Ethernet or VLAN header.
    struct Remembered {
        std::uint64_t generation = UINT64_MAX;
        std::uint16_t etherType = 0;
        InternedString name;
    };
    constexpr std::size_t kSlots = 16;
    thread_local Remembered recent[kSlots];
    const auto& names = ProtocolsStringsCache::sharedCache();
    const std::uint64_t generation = names.generation();
    // Folding the high byte onto the low one keeps the common types apart (IPv4, IPv6, ARP,
    // 802.1Q, PPPoE, MPLS fall in different slots), so traffic that mixes them hits the memory.
    Remembered& slot = recent[(etherType ^ (etherType >> 8)) % kSlots];
    if (slot.generation != generation || slot.etherType != etherType) {
        slot = Remembered{generation, etherType, InternedString::from(names.etherTypeString(etherType))};
    }
    return slot.name;
}

std::string etherTypeText(std::uint16_t etherType) {
    if (etherType <= kMaxIEEE8023Length) return fmt::format("Length {}", etherType);
    return fmt::format("{} ({})", lookupName(kEtherTypeNames, etherType).value_or("Unknown"), hexText(etherType, 4));
}

InternedString protocolForIPProtocol(std::uint8_t number) {
    static const auto* const names = [] {
        auto* table = new std::array<InternedString, 256>();
        for (const auto& [code, name] : kIPProtocolAnalyzers) (*table)[code] = InternedString(name);
        return table;
    }();
    return (*names)[number];
}

std::string ipProtocolText(std::uint8_t number) { return nameWithCode(kIPProtocolNames, number); }

std::optional<std::size_t> offsetInPacket(const Data& mine, const PacketRef& packet, Data& packetBytes) {
    if (!packet) return std::nullopt;
    auto all = packet->data();
    if (!all || all->empty() || mine.data() == nullptr) return std::nullopt;
    auto begin = reinterpret_cast<std::uintptr_t>(all->data());
    auto at = reinterpret_cast<std::uintptr_t>(mine.data());
    if (at < begin || at > begin + all->size()) return std::nullopt;
    packetBytes = *all;
    return static_cast<std::size_t>(at - begin);
}

}  // namespace qor::standard
