#pragma once
// Analyzer classes made up in the tests: each one's header size, next protocol, payload rule and
// attribute values are set by the test, so the pipeline rules can be checked without a plug-in.

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QORDependencies/QORAttributeReading.hpp"
#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORModels/analysis/PluginLookupTable.hpp"
#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor::test {

/// What a fake analyzer does.
struct FakeSpec {
    std::string name;                              ///< protocolName(), and the class name
    std::uint16_t size = 0;                        ///< protocolSize()
    std::optional<std::string> next;               ///< nextProtocol()
    bool hasPayload = true;
    std::optional<std::uint64_t> payloadSize;      ///< value("payloadSize")
    std::optional<std::string> info;               ///< protocolInfo(data): info + " len " + data size
    /// Attribute keys: the value is the attribute bytes in hex, or this fixed text when set.
    std::map<std::string, std::string> fixedValues;
    std::vector<std::string> hexKeys;
    bool refuse = false;                           ///< make() gives nothing
    /// An attribute key the class reads without an analyzer: its reader hands back the very
    /// bytes it is given.
    std::optional<std::string> bytesReaderKey;
};

class FakeClass final : public QORPluginAnalyzerClass, public QORAttributeReading {
public:
    explicit FakeClass(FakeSpec spec) : spec_(std::move(spec)) {}
    std::string_view name() const override { return spec_.name; }
    AnalyzerRef make(const Data& data, const PacketRef&) const override;
    AttributeReader attributeReader(std::string_view key) const override {
        if (spec_.bytesReaderKey != key) return nullptr;
        return [](const Data& data) { return Value(data); };
    }
    const FakeSpec& spec() const { return spec_; }

private:
    FakeSpec spec_;
};

class FakeAnalyzer final : public QORPluginAnalyzerProtocol {
public:
    FakeAnalyzer(const FakeClass& cls, Data data) : cls_(cls), s_(cls.spec()), data_(std::move(data)) {}
    const QORPluginAnalyzerClass& analyzerClass() const override { return cls_; }
    std::uint16_t protocolSize() const override { return s_.size; }
    std::optional<std::string> nextProtocol() const override { return s_.next; }
    bool hasPayload() const override { return s_.hasPayload; }
    std::optional<std::string> protocolName() const override { return s_.name; }
    std::optional<std::string> protocolInfo() const override { return s_.info; }
    std::optional<std::string> protocolInfo(const Data& data) const override {
        if (!s_.info) return std::nullopt;
        return *s_.info + " len " + std::to_string(data.size());
    }
    NodeList protocolNodes(const Data&) const override { return {}; }
    Value value(std::string_view key, const Data& data) const override {
        if (key == "payloadSize") return s_.payloadSize ? Value(*s_.payloadSize) : Value();
        if (auto it = s_.fixedValues.find(std::string(key)); it != s_.fixedValues.end()) return it->second;
        if (std::find(s_.hexKeys.begin(), s_.hexKeys.end(), key) == s_.hexKeys.end()) return {};
        std::string out;
        for (std::size_t i = 0; i < data.size(); ++i) out += std::string(1, "0123456789abcdef"[data[i] >> 4]) + "0123456789abcdef"[data[i] & 15];
        return out;
    }
    Value valueForKey(std::string_view key) const override {
        if (key == "fakeName") return s_.name;
        return NSObject::valueForKey(key);
    }
    /// The bytes the analyzer was made from.
    const Data& madeFrom() const { return data_; }

private:
    const FakeClass& cls_;
    const FakeSpec& s_;
    Data data_;
};

inline AnalyzerRef FakeClass::make(const Data& data, const PacketRef&) const {
    if (spec_.refuse) return nullptr;
    return std::make_shared<FakeAnalyzer>(*this, data);
}

/// A registry of fake classes, turned into a published lookup table; the previous table is put
/// back by the destructor.
class FakeRegistry {
public:
    FakeRegistry() : saved_(PluginLookupTable::current()) {}
    ~FakeRegistry() { PluginLookupTable::publish(saved_); }

    std::shared_ptr<FakeClass> add(FakeSpec spec) {
        auto cls = std::make_shared<FakeClass>(std::move(spec));
        classes_.push_back(cls);
        return cls;
    }
    /// A plug-in structure for one class: its protocol, attributes and columns.
    static QORPlugInStructure structure(const std::shared_ptr<FakeClass>& cls, std::vector<QORPlugInAnalyzerAttribute> attributes = {},
                                        std::vector<std::string> columns = {}) {
        QORPlugInStructure s;
        s.plugInTitle = std::string(cls->name());
        s.plugInAnalyzerClass = cls;
        QORPlugInNetworkProtocol p;
        p.protocolName = std::string(cls->name());
        p.size = cls->spec().size;
        s.plugInTargetProtocols.push_back(p);
        s.plugInAnalyzerAttributes = std::move(attributes);
        for (auto& c : columns) s.plugInColumnKeyBindings.push_back({c, c, {}, {}});
        return s;
    }
    static QORPlugInAnalyzerAttribute attribute(const std::shared_ptr<FakeClass>& cls, std::string key, std::uint32_t offset,
                                                std::uint32_t length) {
        QORPlugInAnalyzerAttribute a;
        a.plugInAnalyzerClass = cls;
        a.attributeKey = std::move(key);
        a.attributeTitle = a.attributeKey;
        a.attributeOffset = offset;
        a.attributeLength = length;
        return a;
    }
    /// Publishes a table of every class (attributes given per class), after a dummy element 0.
    void publish(std::vector<QORPlugInStructure> structures) {
        structures.insert(structures.begin(), QORPlugInStructure{});
        PluginLookupTable::publish(PluginLookupTable::build(structures));
    }
    void publishAll() {
        std::vector<QORPlugInStructure> list;
        for (auto& c : classes_) list.push_back(structure(c));
        publish(std::move(list));
    }

private:
    std::shared_ptr<const PluginLookupTable> saved_;
    std::vector<std::shared_ptr<FakeClass>> classes_;
};

/// A packet over `bytes` with its own data cache and a file path, ready for lazy analysis.
inline std::shared_ptr<QORPacket> packetWithBytes(const Data& bytes, std::uint32_t linkType = 1, std::int64_t id = 1) {
    auto cache = std::make_shared<QORDataCache>();
    auto length = static_cast<std::uint32_t>(bytes.size());
    cache->set(bytes, UInt32Range{0, length});
    auto p = QORPacket::create();
    p->setPacketId(id);
    p->setCaptureLength(length);
    p->setRealLength(length);
    p->setLinkType(linkType);
    p->setDataCache(cache);
    p->setFilePath(std::filesystem::path("/tmp/made-up.pcap"));
    return p;
}

/// `n` bytes counting up from 0.
inline Data countingBytes(std::size_t n) {
    std::vector<std::byte> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::byte>(i & 0xff);
    return Data(std::move(v));
}

}  // namespace qor::test
