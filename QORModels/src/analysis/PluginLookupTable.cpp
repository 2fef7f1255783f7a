// The process-wide plug-in lookup table: building it and publishing it by one reference swap.

#include "QORModels/analysis/PluginLookupTable.hpp"

#include "QORModels/analysis/SharedSnapshot.hpp"

namespace qor {
namespace {

SharedSnapshot<PluginLookupTable>& slot() {
    static SharedSnapshot<PluginLookupTable> table{std::make_shared<const PluginLookupTable>()};
    return table;
}

}  // namespace

std::shared_ptr<const PluginLookupTable> PluginLookupTable::current() { return slot().load(); }

void PluginLookupTable::publish(std::shared_ptr<const PluginLookupTable> table) {
    if (!table) table = std::make_shared<const PluginLookupTable>();
    slot().store(std::move(table));
}

const AnalyzerClassRef* PluginLookupTable::analyzerClass(InternedString protocol) const {
    if (!protocol.hasValue()) return nullptr;
    if (!analyzerClassByInternedProtocol.empty()) {
        auto it = analyzerClassByInternedProtocol.find(protocol.identity());
        return it == analyzerClassByInternedProtocol.end() || !it->second ? nullptr : &it->second;
    }
    auto it = analyzerClassByProtocol.find(protocol.view());
    return it == analyzerClassByProtocol.end() || !it->second ? nullptr : &it->second;
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
    for (const auto& [name, cls] : table->analyzerClassByProtocol) {
        table->analyzerClassByInternedProtocol.emplace(InternedString(name).identity(), cls);
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
    return table;
}

}  // namespace qor
