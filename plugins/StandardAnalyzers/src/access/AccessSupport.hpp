#pragma once
// Building blocks shared by the access-network and application analyzers: the analyzer
// skeleton, detail nodes with byte locations, code-name tables, address and text rendering, and
// the registration records of a family.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "AnalyzerBase.hpp"
#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORDependencies/Records.hpp"
#include "QORModels/analysis/QORNode.hpp"
#include "QORPlatform/RuntimeClass.hpp"

namespace qor::standard::access {

/// Longest run of bytes shown as hexadecimal or text in one detail value; longer values are cut
/// and end with an ellipsis, so a hostile length never makes a huge text.
inline constexpr std::size_t kMaxShownBytes = 256;

/// Attribute length that reaches to the end of the analyzer's bytes: the slice the packet hands
/// to `value(key, data:)` is clamped to what exists, so the analyzer sees its whole header and
/// finds a field of variable position itself.
inline constexpr std::uint32_t kToEndOfHeader = 0xFFFF;

// Shared with the core analyzers.
using standard::attribute;
using standard::CodeName;
using standard::field;
using standard::fieldBytes;
using standard::ipv4Text;

/// The name of `code` in `table`, or nothing.
std::optional<std::string_view> findCodeName(std::span<const CodeName> table, std::uint32_t code);
/// "Name (code)" with the code in decimal, or the decimal code alone when it has no name.
std::string namedCode(std::span<const CodeName> table, std::uint32_t code);
/// "Name (0x..)" with the code in hexadecimal of `digits` digits, or the hexadecimal code alone.
std::string namedHexCode(std::span<const CodeName> table, std::uint32_t code, int digits);
/// The name, or "Unknown (code)" when the table has none.
std::string nameOrUnknown(std::span<const CodeName> table, std::uint32_t code);

/// "0x" and `digits` lower-case hexadecimal digits.
std::string hexNumber(std::uint64_t value, int digits);
/// RFC 5952 text of 16 bytes (longest zero run compressed); empty for any other length.
std::string ipv6Text(std::span<const std::byte> bytes);
/// Lower-case hexadecimal without separators, cut after `kMaxShownBytes` bytes ("…" appended).
std::string hexText(std::span<const std::byte> bytes);
/// The bytes as text: printable ASCII as it is, anything else as "\xNN"; cut like `hexText`.
std::string printableText(std::span<const std::byte> bytes);
/// The same for a text view.
std::string printableText(std::string_view text);
/// Big-endian unsigned number of 1 to 8 bytes; nothing for other lengths.
std::optional<std::uint64_t> bigEndianNumber(std::span<const std::byte> bytes);

/// The same field as a big-endian number.
std::optional<std::uint64_t> fieldNumber(const Data& data, std::size_t offset, std::size_t length);

/// The first node of an analyzer's list: the protocol's title with its summary as value, over
/// the analyzer's whole header. The named fields follow it at the top level of the list, where
/// readers that look values up by node name (subscriber sessions) find them.
std::shared_ptr<QORNode> heading(std::string title, std::optional<std::string> summary, std::size_t length);
/// Adds `child` under `parent` and gives `child`.
std::shared_ptr<QORNode> addChild(const std::shared_ptr<QORNode>& parent, std::shared_ptr<QORNode> child);

/// The part every analyzer of this folder shares: its bytes (from its header to the end of the
/// packet's unexplained bytes), a weak link to its packet, and the summary of its own bytes.
///
/// Thread safety: an analyzer is built and used by one thread at a time; its methods only read.
class AccessAnalyzer : public QORPluginAnalyzerProtocol {
public:
    AccessAnalyzer(Data data, const PacketRef& packet) : data_(std::move(data)), packet_(packet) {}

    [[nodiscard]] std::optional<std::string> protocolInfo() const override { return protocolInfo(data_); }
    using QORPluginAnalyzerProtocol::protocolInfo;
    [[nodiscard]] std::string_view className() const override { return analyzerClass().name(); }
    [[nodiscard]] std::string description() const override {
        auto info = protocolInfo(data_);
        return std::string(className()) + ": " + info.value_or("");
    }
    /// Key-value access: "protocolName", "protocolInfo", "protocolSize", "nextProtocol".
    [[nodiscard]] Value valueForKey(std::string_view key) const override;

    [[nodiscard]] const Data& bytes() const noexcept { return data_; }
    [[nodiscard]] PacketRef packet() const { return packet_.lock(); }

protected:
    Data data_;
    std::weak_ptr<QORPacketProtocol> packet_;
};

/// Makes an analyzer class and registers it in the process's class registry under `name`, so that
/// hosts and tests find it by name.
template <class Analyzer>
std::shared_ptr<const AnalyzerClassOf<Analyzer>> registerAnalyzerClass(std::string name) {
    auto cls = std::make_shared<const AnalyzerClassOf<Analyzer>>(std::move(name));
    ClassRegistry::shared().registerClass(cls);
    return cls;
}

/// A target protocol reached through an ether type.
QORPlugInNetworkProtocol etherTypeProtocol(std::string name, std::uint32_t etherType);
/// A target protocol reached through transport ports.
QORPlugInNetworkProtocol portProtocol(std::string name, std::vector<std::int64_t> ports, kQORSourceProtocols transport);
/// A target protocol reached only by name (carried by another analyzer of this plug-in).
QORPlugInNetworkProtocol namedProtocol(std::string name);

}  // namespace qor::standard::access
