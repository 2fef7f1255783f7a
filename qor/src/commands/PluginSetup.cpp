// Loading the analyzer plug-ins once per run.

#include "PluginSetup.hpp"

#include "QORDependencies/DefaultInjection.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor::cli {

void activateAnalyzers() {
    static bool activated = false;
    if (activated) return;
    activated = true;
    auto controller = QORPlugInsController::sharedController();
    if (!DefaultInjection::plugInControllingProvider()) DefaultInjection::setPlugInControllingProvider(controller);
    controller->activatePlugIns();
    controller->updatePluginStructs();
    QORPacket::snapshotPluginRegistry();
}

}  // namespace qor::cli
