// The plug-in's principal class: registers every analyzer family with the plug-in controller.

#include <memory>
#include <vector>

#include "AnalyzerCatalog.hpp"
#include "QORDependencies/QORPlugInsControlling.hpp"
#include "QORModels/tls/TLSDecryptionProbeRegistry.hpp"
#include "QORPlatform/RuntimeClass.hpp"
#include "tls/TLSDecryptionProbe.hpp"

namespace qor::standard {

AnalyzerCatalog& AnalyzerCatalog::shared() {
    static AnalyzerCatalog catalog;
    return catalog;
}

std::vector<AnalyzerFamily> AnalyzerCatalog::families() const {
    std::vector<AnalyzerFamily> out;
    out.reserve(makers_.size());
    for (auto& make : makers_) out.push_back(make());
    return out;
}

namespace {

/// The object the principal class constructs; it lives as long as the library stays loaded.
class StandardAnalyzersPlugIn final : public NSObject {
public:
    [[nodiscard]] std::string_view className() const override { return "StandardAnalyzersPlugIn"; }
};

class StandardAnalyzersPlugInClass final : public QORPluginPrincipalClass,
                                            public std::enable_shared_from_this<StandardAnalyzersPlugInClass> {
public:
    [[nodiscard]] std::string_view name() const override { return "StandardAnalyzersPlugIn"; }

    /// Registers one plug-in structure per analyzer family. Each family is registered under its
    /// own component of the bundle, so that the controller keeps one entry per family. The TLS
    /// decryption probe becomes the process's probe, replacing any registered before.
    [[nodiscard]] std::shared_ptr<NSObject> construct(QORPlugInsControlling& controller,
                                                      const std::shared_ptr<NSBundle>& bundle) const override {
        static auto instance = std::make_shared<StandardAnalyzersPlugIn>();
        for (auto& family : AnalyzerCatalog::shared().families()) {
            QORPlugInStructure s;
            s.plugInTitle = family.title;
            s.plugInDescription = family.description;
            s.plugInVersion = "1.0";
            s.plugInAuthor = "QORModels standard analyzers";
            s.plugInPrincipalClass = std::static_pointer_cast<const QORPluginPrincipalClass>(shared_from_this());
            s.plugInAnalyzerClass = family.analyzerClass;
            s.plugInAnalyzerAttributes = std::move(family.attributes);
            s.plugInTargetProtocols = std::move(family.protocols);
            s.plugInColumnKeyBindings = std::move(family.columns);
            auto component = bundle ? bundle->component(family.title) : nullptr;
            controller.registerPlugIn(s, component ? component : bundle);
        }
        TLSDecryptionProbeRegistry::shared().register_(std::make_shared<const tls::TLSDecryptionProbe>());
        return instance;
    }
};

const bool registered = [] {
    ClassRegistry::shared().registerClass(std::make_shared<StandardAnalyzersPlugInClass>());
    return true;
}();

}  // namespace
}  // namespace qor::standard
