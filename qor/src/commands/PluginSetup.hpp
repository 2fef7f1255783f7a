#pragma once
// Loading the analyzer plug-ins before a command analyses packets.

namespace qor::cli {

/// Loads every plug-in bundle into the shared plug-in controller, makes it the process's
/// controller in force and publishes the plug-in lookup table that packet analysis reads
/// (`QORPlugInsController::activateAndPublish()`). Main thread; later calls do nothing.
void activateAnalyzers();

}  // namespace qor::cli
