#pragma once
// The class of an analyzer some of whose attributes are read from their bytes alone.

#include <memory>
#include <string>
#include <string_view>

#include "AnalyzerBase.hpp"
#include "QORDependencies/QORAttributeReading.hpp"
#include "TransportAnalyzerClass.hpp"

namespace qor::standard {

/// `AnalyzerClassOf<Analyzer>` that also reads attributes without making an analyzer
/// (`QORAttributeReading`): `Analyzer::attributeReader(key)` gives the reader of each attribute
/// that is a function of its bytes alone, which `Analyzer::value` answers through the same
/// readers, so the two agree by construction.
template <class Analyzer>
class AttributeReadingClass final : public QORPluginAnalyzerClass, public QORAttributeReading {
public:
    AttributeReadingClass(std::string name, const RuntimeClass* superclass) : name_(std::move(name)), superclass_(superclass) {}
    [[nodiscard]] std::string_view name() const override { return name_; }
    [[nodiscard]] const RuntimeClass* superclass() const override { return superclass_; }
    [[nodiscard]] AnalyzerRef make(const Data& data, const PacketRef& packet) const override { return Analyzer::create(data, packet); }
    bool inspect(const Data& data, const PacketRef& packet, Visitor visit) const override { return Analyzer::inspect(data, packet, visit); }
    [[nodiscard]] AttributeReader attributeReader(std::string_view key) const override { return Analyzer::attributeReader(key); }

private:
    std::string name_;
    const RuntimeClass* superclass_;
};

/// `AnalyzerClassRegistration` for such a class: registered under its name while the library
/// is loaded, converting to the `AnalyzerClassRef` families and attributes name.
template <class Analyzer>
class AttributeReadingClassRegistration {
public:
    AttributeReadingClassRegistration(std::string name, const RuntimeClass* superclass)
        : class_(std::make_shared<const AttributeReadingClass<Analyzer>>(std::move(name), superclass)), registration_(class_) {}

    [[nodiscard]] const QORPluginAnalyzerClass& operator*() const noexcept { return *class_; }
    // NOLINTNEXTLINE(google-explicit-constructor): a registered class is used where a class is named
    operator AnalyzerClassRef() const { return class_; }

private:
    std::shared_ptr<const AttributeReadingClass<Analyzer>> class_;
    ClassRegistration registration_;
};

/// The reader of a big-endian 16- or 32-bit field at a fixed offset, as `fieldU16`/`fieldU32`
/// find it; none when its bytes are not there.
template <class Number, std::size_t Offset>
Value numberField(const Data& data) {
    static_assert(sizeof(Number) == 2 || sizeof(Number) == 4);
    if constexpr (sizeof(Number) == 2) {
        if (auto v = fieldU16(data, Offset)) return *v;
    } else {
        if (auto v = fieldU32(data, Offset)) return *v;
    }
    return {};
}

/// The readers of the port attributes "srcPort" and "dstPort" (both transports keep their ports
/// at the same offsets); null for other keys.
inline QORAttributeReading::AttributeReader transportPortReader(std::string_view key) {
    if (key == "srcPort") return &numberField<std::uint16_t, kSourcePortOffset>;
    if (key == "dstPort") return &numberField<std::uint16_t, kDestinationPortOffset>;
    return nullptr;
}

}  // namespace qor::standard
