// The datagram an ICMP or ICMPv6 error message quotes, analysed as layers of its own.

#include "QuotedDatagram.hpp"

#include <array>
#include <memory>
#include <string_view>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor::standard {
namespace {

constexpr std::string_view kQuotedPrefix = "Quoted ";

/// The protocols whose quoted headers get a quoting layer. The error messages themselves come
/// last: a quoted error is where `kMaxQuoteDepth` stops.
constexpr std::array<std::string_view, 6> kQuotable = {"IP", "IPv6", "TCP", "UDP", "ICMP", "ICMPv6"};

bool isErrorMessageProtocol(std::string_view name) { return name == "ICMP" || name == "ICMPv6"; }

/// One quoted header: the analyzer of its protocol, seen through the quoting layer (see
/// `quotedDatagramProtocol`). Everything but the carried protocol and the summary is the
/// wrapped analyzer's.
///
/// The wrapped analyzer is either kept (`owner`, for `make`) or only borrowed for as long as the
/// analysis walk looks at this layer (`inspect` builds both on the stack). The packet is kept
/// weakly, to find the error message's summary when asked.
class QuotedAnalyzer final : public QORPluginAnalyzerProtocol {
public:
    QuotedAnalyzer(const QORPluginAnalyzerClass& cls, const QORPluginAnalyzerProtocol& inner, AnalyzerRef owner,
                   Data data, const PacketRef& packet)
        : class_(cls), inner_(&inner), owner_(std::move(owner)), data_(std::move(data)), packet_(packet) {}

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override { return class_; }
    [[nodiscard]] std::string_view className() const override { return class_.name(); }
    [[nodiscard]] std::uint16_t protocolSize() const override { return inner_->protocolSize(); }
    [[nodiscard]] bool hasPayload() const override { return inner_->hasPayload(); }
    [[nodiscard]] std::optional<std::string> protocolName() const override { return inner_->protocolName(); }
    [[nodiscard]] InternedString protocolNameInterned() const override { return inner_->protocolNameInterned(); }
    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override { return inner_->protocolNodes(data); }
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override { return inner_->value(key, data); }
    [[nodiscard]] std::string description() const override { return "Quoted " + inner_->description(); }

    /// The quoted header's own carried protocol, quoted in turn when it is a header this layer
    /// wraps; nothing after a quoted error message (`kMaxQuoteDepth`).
    [[nodiscard]] std::optional<std::string> nextProtocol() const override {
        auto own = inner_->protocolName();
        if (own && isErrorMessageProtocol(*own)) return std::nullopt;
        auto next = inner_->nextProtocol();
        if (!next) return std::nullopt;
        for (auto name : kQuotable)
            if (name == *next) return std::string(kQuotedPrefix) + *next;
        return next;
    }

    [[nodiscard]] std::optional<std::string> protocolInfo() const override { return protocolInfo(data_); }
    /// The summary of the error message that quotes this header, read from the packet's chain;
    /// the quoted header's own when the chain is not at hand.
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        if (auto summary = errorSummary()) return summary;
        return inner_->protocolInfo(data);
    }

private:
    /// The last error message before the first quoted header of the packet's chain.
    [[nodiscard]] std::optional<std::string> errorSummary() const {
        auto packet = packet_.lock();
        if (!packet) return std::nullopt;
        auto chain = packet->cachedAnalyzers();
        auto bytes = packet->data();
        if (!chain || !bytes) return std::nullopt;
        std::size_t offset = 0, errorOffset = 0;
        const QORPluginAnalyzerProtocol* error = nullptr;
        for (const auto& analyzer : *chain) {
            if (!analyzer || dynamic_cast<const QuotedAnalyzer*>(analyzer.get())) break;
            if (auto name = analyzer->protocolName(); name && isErrorMessageProtocol(*name)) {
                error = analyzer.get();
                errorOffset = offset;
            }
            offset += analyzer->protocolSize();
        }
        if (!error || errorOffset > bytes->size()) return std::nullopt;
        return error->protocolInfo(bytes->slice(errorOffset));
    }

    const QORPluginAnalyzerClass& class_;
    const QORPluginAnalyzerProtocol* inner_;
    AnalyzerRef owner_;  ///< keeps `inner_` alive when this layer is kept
    Data data_;
    std::weak_ptr<QORPacketProtocol> packet_;
};

/// The class of one quoting layer: makes the analyzer of the wrapped protocol (found in the
/// plug-in lookup table) and wraps it.
class QuotedAnalyzerClass final : public QORPluginAnalyzerClass {
public:
    explicit QuotedAnalyzerClass(std::string_view quoted)
        : quoted_(quoted), name_("Quoted" + std::string(quoted) + "Analyzer") {}
    [[nodiscard]] std::string_view name() const override { return name_; }

    [[nodiscard]] AnalyzerRef make(const Data& data, const PacketRef& packet) const override {
        auto cls = QORPacket::pluginAnalyzerClass(quoted_);
        if (!cls) return nullptr;
        auto inner = cls->make(data, packet);
        if (!inner) return nullptr;
        const auto& borrowed = *inner;
        return std::make_shared<QuotedAnalyzer>(*this, borrowed, std::move(inner), data, packet);
    }

    /// Has the wrapped protocol's class show its analyzer, and shows that wrapped on the stack.
    bool inspect(const Data& data, const PacketRef& packet, Visitor visit) const override {
        auto cls = QORPacket::pluginAnalyzerClass(quoted_);
        if (!cls) return false;
        return cls->inspect(data, packet, [&](const QORPluginAnalyzerProtocol& inner) {
            const QuotedAnalyzer quoted(*this, inner, nullptr, data, packet);
            visit(quoted);
        });
    }

private:
    std::string quoted_;
    std::string name_;
};

/// One family per quoted protocol: the lookup table maps each protocol to its family's class.
struct QuotingFamilies {
    QuotingFamilies() {
        for (auto quoted : kQuotable) {
            auto cls = std::make_shared<const QuotedAnalyzerClass>(quoted);
            registrations.push_back(std::make_unique<ClassRegistration>(cls));
            families.push_back(std::make_unique<FamilyRegistration>([cls, quoted] {
                AnalyzerFamily f;
                f.title = std::string(kQuotedPrefix) + std::string(quoted);
                f.description = "The " + std::string(quoted) + " header quoted by an ICMP or ICMPv6 error message";
                f.analyzerClass = cls;
                f.protocols = {namedTarget(std::string(kQuotedPrefix) + std::string(quoted))};
                return f;
            }));
        }
    }
    std::vector<std::unique_ptr<ClassRegistration>> registrations;
    std::vector<std::unique_ptr<FamilyRegistration>> families;
};

const QuotingFamilies kQuotingFamilies;

}  // namespace

std::optional<std::string> quotedDatagramProtocol(const Data& quoted) {
    constexpr std::uint8_t kIPv4 = 4, kIPv6 = 6;
    auto first = quoted.byteAt(0);
    if (!first) return std::nullopt;
    if ((*first >> 4) == kIPv4) return std::string(kQuotedPrefix) + "IP";
    if ((*first >> 4) == kIPv6) return std::string(kQuotedPrefix) + "IPv6";
    return std::nullopt;
}

}  // namespace qor::standard
