// The process-wide plug-in lookup table: building it and publishing it by one reference swap.

#include "QORModels/analysis/PluginLookupTable.hpp"

#include "QORModels/analysis/CompactAnalyzerChain.hpp"
#include "QORModels/analysis/SharedSnapshot.hpp"

namespace qor {
namespace {

SharedSnapshot<PluginLookupTable>& slot() {
    static SharedSnapshot<PluginLookupTable> table{std::make_shared<const PluginLookupTable>()};
    return table;
}

}  // namespace

std::shared_ptr<const PluginLookupTable> PluginLookupTable::current() { return slot().load(); }
std::shared_ptr<const PluginLookupTable> PluginLookupTable::current(std::uint64_t& generation) { return slot().load(generation); }
std::uint64_t PluginLookupTable::currentGeneration() noexcept { return slot().generation(); }

void PluginLookupTable::publish(std::shared_ptr<const PluginLookupTable> table) {
    if (!table) table = std::make_shared<const PluginLookupTable>();
    slot().store(std::move(table));
}

std::uint8_t PluginLookupTable::addressRoles(const QORPluginAnalyzerClass& cls) const {
    auto answers = [&](const std::optional<QORPlugInAnalyzerAttribute>& source, const std::optional<QORPlugInAnalyzerAttribute>& destination) {
        if (!source || !destination || !source->plugInAnalyzerClass) return false;
        if (source->plugInAnalyzerClass != destination->plugInAnalyzerClass) return false;
        const QORPluginAnalyzerClass& owner = *source->plugInAnalyzerClass;
        return &cls == &owner || cls.isSubclassOf(owner);
    };
    const auto& a = endpointAttributes;
    return static_cast<std::uint8_t>((answers(a.ip4Src, a.ip4Dst) ? kIPv4Addresses : 0) | (answers(a.ip6Src, a.ip6Dst) ? kIPv6Addresses : 0));
}

PluginLookupTable::FoundClass PluginLookupTable::analyzerClass(InternedString protocol) const {
    if (!protocol.hasValue()) return {};
    if (!analyzerClassByInternedProtocol.empty()) {
        const ProtocolClass* found = analyzerClassByInternedProtocol.find(protocol.identity());
        if (!found || !found->cls) return {};
        return {&found->cls, found->addressRoles, found->chainIndex};
    }
    auto it = analyzerClassByProtocol.find(protocol.view());
    if (it == analyzerClassByProtocol.end() || !it->second) return {};
    return {&it->second, addressRoles(*it->second), AnalyzerClassIndex::indexOf(it->second)};
}

std::shared_ptr<const PluginLookupTable> PluginLookupTable::build(const std::vector<QORPlugInStructure>& structures) {
    auto table = std::make_shared<PluginLookupTable>();
    for (const auto& s : structures) {
        // Every analyzer class implements the analyzer interface by its type; a structure without
        // one contributes no protocols and no columns.
        if (!s.plugInAnalyzerClass) continue;
        for (const auto& p : s.plugInTargetProtocols) {
            table->analyzerClassByProtocol.insert_or_assign(p.protocolName, s.plugInAnalyzerClass);
            if (p.size) table->headerSizeByProtocol.insert_or_assign(p.protocolName, *p.size);
        }
        for (const auto& c : s.plugInColumnKeyBindings) table->columnBindings.emplace_back(c.keyPath, s.plugInAnalyzerClass);
    }
    for (std::size_t i = 1; i < structures.size(); ++i) {
        for (const auto& a : structures[i].plugInAnalyzerAttributes) table->attributeByKey.insert_or_assign(a.attributeKey, a);
    }
    auto copy = [&](std::string_view key) -> std::optional<QORPlugInAnalyzerAttribute> {
        if (const auto* a = table->attribute(key)) return *a;
        return std::nullopt;
    };
    table->endpointAttributes = {copy("etherSrc"), copy("etherDst"), copy("ip4SrcAddr"),
                                 copy("ip4DstAddr"), copy("ip6SrcAddr"), copy("ip6DstAddr")};
    // The walk asks every analyzer it makes whether it answers the address attributes, and
    // notes each link by its class's number: both are worked out here, once per class.
    for (const auto& [name, cls] : table->analyzerClassByProtocol) {
        ProtocolClass entry{cls};
        if (cls) {
            entry.addressRoles = table->addressRoles(*cls);
            entry.chainIndex = AnalyzerClassIndex::indexOf(cls);
        }
        table->analyzerClassByInternedProtocol.insertOrAssign(InternedString(name).identity(), std::move(entry));
    }
    return table;
}

}  // namespace qor
