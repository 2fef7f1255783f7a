// The common superclass of the TCP and UDP analyzer classes.

#include "TransportAnalyzerClass.hpp"

#include "AnalyzerBase.hpp"

namespace qor::standard {

const AnalyzerClassRef& transportAnalyzerClass() {
    static const AnalyzerClassRef cls = std::make_shared<AbstractAnalyzerClass>("TransportAnalyzer");
    return cls;
}

namespace {
const ClassRegistration kClassRegistration{transportAnalyzerClass()};
}  // namespace

}  // namespace qor::standard
