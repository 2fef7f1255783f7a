#pragma once
// The per-packet store of analyzers.

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"

namespace qor {

class QORAnalyzerCacheProcotol {
public:
    virtual ~QORAnalyzerCacheProcotol() = default;
    [[nodiscard]] virtual AnalyzerChain analyzersCache() const = 0;
    virtual void setAnalyzerCache(AnalyzerChain list) = 0;
    virtual void append(const AnalyzerRef& analyzer) = 0;
    virtual void append(AnalyzerChain list) = 0;
    virtual void clearCache() = 0;
    [[nodiscard]] virtual bool shouldTerminate() const = 0;
    virtual void setShouldTerminate(bool value) = 0;
    [[nodiscard]] virtual bool didTerminate() const = 0;
    virtual void setDidTerminate(bool value) = 0;
    virtual void setupClearAnalyzingCacheNotificationObservation() = 0;
};

}  // namespace qor
