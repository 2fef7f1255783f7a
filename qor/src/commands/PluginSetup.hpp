#pragma once
// Loading the analyzer plug-ins before a command analyses packets.

namespace qor::cli {

/// Installs the shared plug-in controller as the process's controller provider (when none is
/// installed), loads every plug-in bundle, and publishes the plug-in lookup table that packet
/// analysis reads. Main thread; later calls do nothing.
void activateAnalyzers();

}  // namespace qor::cli
