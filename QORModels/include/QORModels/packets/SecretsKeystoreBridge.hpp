#pragma once
// Carrying TLS key-log text found in a capture file into the per-trace key-log store.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qor {

/// Merges the TLS key-log texts of a capture's Decryption Secrets Blocks into the key-log file
/// of the capture's trace fingerprint, adding only lines the file does not hold yet, so that
/// reading the same capture twice writes its key lines once. Does nothing without a file or
/// without secrets, or when the file has no fingerprint; failures to read or write the key-log
/// file are swallowed (the capture reads the same either way).
void bridgeSecretsToKeystore(const std::vector<std::string>& secrets, const std::optional<std::filesystem::path>& fileURL);

}  // namespace qor
