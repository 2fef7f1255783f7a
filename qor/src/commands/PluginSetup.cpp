// Loading the analyzer plug-ins once per run.

#include "PluginSetup.hpp"

#include "QORModels/analysis/QORPlugInsController.hpp"

namespace qor::cli {

void activateAnalyzers() {
    static bool activated = false;
    if (activated) return;
    activated = true;
    QORPlugInsController::sharedManager()->activateAndPublish();
}

}  // namespace qor::cli
