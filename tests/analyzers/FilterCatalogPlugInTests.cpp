// The display-filter catalog built from the standard plug-in, loaded through the controller.

#include <gtest/gtest.h>

#include "AnalyzerHarness.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORModels/filters/FilterAttributeCatalog.hpp"

namespace qor::test {
namespace {

TEST(FilterCatalogFromPlugIns, ColumnsOfTheLoadedPlugInBecomeTypedAttributes) {
    AnalyzerHarness::shared();
    const auto catalog = FilterAttributeCatalog::build(*QORPlugInsController::sharedManager());
    // A port is compared as a number, with the ordered comparisons.
    const FilterAttribute* port = catalog["Source Port is"];
    ASSERT_TRUE(port);
    EXPECT_EQ(port->kind, FilterAttribute::Kind::int_);
    EXPECT_EQ(port->allowedComparisons.size(), 6u);
    EXPECT_EQ(port->predicateFormat, std::optional<std::string>("srcPort == $value"));

    // Every plug-in attribute names its plug-in by the first protocol it analyses.
    std::size_t plugInAttributes = 0;
    for (const auto& a : catalog.attributes()) {
        if (a.source.isBuiltin()) continue;
        ++plugInAttributes;
        ASSERT_TRUE(a.predicateFormat) << a.id;
        EXPECT_FALSE(a.source.pluginID->empty()) << a.id;
        // A "contains" column compares the value's text, whatever the value's type.
        if (a.id.ends_with(" contains")) {
            EXPECT_EQ(a.kind, FilterAttribute::Kind::string) << a.id;
        }
    }
    EXPECT_GT(plugInAttributes, 10u);
}

/// A controller with one plug-in structure that names no protocol.
class AnonymousPlugIns final : public QORPlugInsControlling {
public:
    void activatePlugIns() override {}
    bool registerPlugIn(const QORPlugInStructure&, const std::shared_ptr<NSBundle>&) override { return false; }
    bool registerNetworkProtocol(const QORPlugInNetworkProtocol&, const std::shared_ptr<NSBundle>&) override { return false; }
    bool unregisterNetworkProtocol(const QORPlugInNetworkProtocol&, const std::shared_ptr<NSBundle>&) override { return false; }
    std::vector<QORPlugInStructure> plugInStructs() override {
        QORPlugInStructure s;
        QORPlugInColumn withOptions, without;
        withOptions.predicateOptions = {{NSDisplayNameBindingOption, Value("Widget is")},
                                        {NSPredicateFormatBindingOption, Value("widget == $value")}};
        s.plugInColumnKeyBindings = {without, withOptions};
        return {s};
    }
    void updatePluginStructs() override {}
};

TEST(FilterCatalogFromPlugIns, APlugInWithoutProtocolsIsUnknown) {
    AnonymousPlugIns plugIns;
    const auto catalog = FilterAttributeCatalog::build(plugIns);
    ASSERT_EQ(catalog.attributes().size(), 63u);
    EXPECT_EQ(catalog["Widget is"]->source, FilterAttribute::Source::plugin("unknown"));
    EXPECT_EQ(catalog["Widget is"]->kind, FilterAttribute::Kind::string);
}

}  // namespace
}  // namespace qor::test
