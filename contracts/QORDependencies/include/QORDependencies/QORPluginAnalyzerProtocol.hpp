#pragma once
// The protocol analyzer interface that plug-ins implement, and analyzer classes.

#include <atomic>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "QORDependencies/QORNodeProtocol.hpp"
#include "QORDependencies/QORPacketProtocol.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/FunctionRef.hpp"
#include "QORPlatform/InternedString.hpp"
#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/RuntimeClass.hpp"

namespace qor {

class QORPluginAnalyzerClass;

/// One protocol header of one packet, explained.
///
/// An analyzer is made by its class from the bytes that start at its header (to the end of
/// the packet's unexplained bytes) and the packet. It answers its header size, the protocol it
/// carries, a summary line, detail nodes and attribute values. Analyzers are created and used on
/// one thread at a time; their classes are shared and thread-safe.
class QORPluginAnalyzerProtocol : public NSObject {
public:
    /// The class that made this analyzer.
    [[nodiscard]] virtual const QORPluginAnalyzerClass& analyzerClass() const = 0;
    /// Header length in bytes.
    [[nodiscard]] virtual std::uint16_t protocolSize() const = 0;
    /// Name of the carried protocol, or nothing when the chain ends here.
    [[nodiscard]] virtual std::optional<std::string> nextProtocol() const = 0;
    /// Whether bytes after the header belong to this protocol's payload.
    [[nodiscard]] virtual bool hasPayload() const = 0;
    [[nodiscard]] virtual std::optional<std::string> protocolName() const = 0;
    /// `nextProtocol()` and `protocolName()` as interned text (null for nothing): what the
    /// analysis walk reads. Analyzers that keep their names interned answer without copying text.
    [[nodiscard]] virtual InternedString nextProtocolInterned() const { return InternedString::from(nextProtocol()); }
    [[nodiscard]] virtual InternedString protocolNameInterned() const { return InternedString::from(protocolName()); }
    [[nodiscard]] virtual std::optional<std::string> protocolInfo() const = 0;
    /// The summary line computed from `data` (the bytes from this analyzer's header on).
    [[nodiscard]] virtual std::optional<std::string> protocolInfo(const Data& data) const = 0;
    /// Detail nodes for the bytes from this analyzer's header on.
    [[nodiscard]] virtual NodeList protocolNodes(const Data& data) const = 0;
    /// The value of an attribute key computed from `data` (the attribute's bytes, or the whole
    /// slice for keys such as "payloadSize"); none for keys the analyzer does not know.
    [[nodiscard]] virtual Value value(std::string_view key, const Data& data) const = 0;
};

using AnalyzerRef = std::shared_ptr<QORPluginAnalyzerProtocol>;
using AnalyzerChain = std::vector<AnalyzerRef>;

/// An analyzer class: the failable `init(data:packet:)` as a factory, plus the class's name and
/// superclass for kind-of tests. A class may also implement other class-level interfaces (for
/// example stream interpretation), found with dynamic_cast.
class QORPluginAnalyzerClass : public RuntimeClass {
public:
    using Visitor = FunctionRef<void(const QORPluginAnalyzerProtocol&)>;

    /// A new analyzer for these bytes, or nothing when the bytes cannot be this protocol.
    [[nodiscard]] virtual AnalyzerRef make(const Data& data, const PacketRef& packet) const = 0;

    /// Makes an analyzer for these bytes, shows it to `visit` and lets it go; false (and no call)
    /// when the bytes cannot be this protocol. The analysis walk asks its questions this way and
    /// keeps only where each header lies, so a class may build the analyzer wherever is cheapest
    /// (the standard analyzers build it on the stack). The analyzer must not be kept or shared by
    /// `visit`. The default makes one with `make`.
    virtual bool inspect(const Data& data, const PacketRef& packet, Visitor visit) const {
        AnalyzerRef analyzer = make(data, packet);
        if (!analyzer) return false;
        visit(*analyzer);
        return true;
    }

    /// The number a packet's stored chain knows this class by (0: not numbered yet). Set once
    /// by the analysis library's class index; plug-ins leave it alone.
    [[nodiscard]] std::uint16_t chainIndex() const noexcept { return chainIndex_.load(std::memory_order_acquire); }
    void setChainIndex(std::uint16_t index) const noexcept { chainIndex_.store(index, std::memory_order_release); }

private:
    mutable std::atomic<std::uint16_t> chainIndex_{0};
};

using AnalyzerClassRef = std::shared_ptr<const QORPluginAnalyzerClass>;

/// The usual analyzer class: forwards `make` to `Analyzer::create(data, packet)`, which returns
/// a `std::shared_ptr<Analyzer>` or null.
template <class Analyzer>
class AnalyzerClassOf final : public QORPluginAnalyzerClass {
public:
    AnalyzerClassOf(std::string name, const RuntimeClass* superclass = nullptr)
        : name_(std::move(name)), superclass_(superclass) {}
    [[nodiscard]] std::string_view name() const override { return name_; }
    [[nodiscard]] const RuntimeClass* superclass() const override { return superclass_; }
    [[nodiscard]] AnalyzerRef make(const Data& data, const PacketRef& packet) const override {
        return Analyzer::create(data, packet);
    }
    /// Uses `Analyzer::inspect(data, packet, visit)` when the analyzer offers one (to build
    /// itself without a heap object), else the default.
    bool inspect(const Data& data, const PacketRef& packet, Visitor visit) const override {
        if constexpr (requires { { Analyzer::inspect(data, packet, visit) } -> std::same_as<bool>; }) {
            return Analyzer::inspect(data, packet, visit);
        } else {
            return QORPluginAnalyzerClass::inspect(data, packet, visit);
        }
    }

private:
    std::string name_;
    const RuntimeClass* superclass_;
};

}  // namespace qor
