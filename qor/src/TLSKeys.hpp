#pragma once
// The TLS key material a command decrypts with: the capture's own key log and the files named
// with --keylog, indexed by client random and published for the decryption probe.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CaptureLoading.hpp"
#include "Command.hpp"
#include "QORModels/tls/TLSKeyIndex.hpp"

namespace qor::cli {

/// The key index in force and what building it met.
struct KeyMaterial {
    std::shared_ptr<const TLSKeyIndex> index;
    /// The capture's fingerprint: the source of its own key lines.
    std::optional<std::string> traceFingerprint;
    /// Key-log files that could not be read at all.
    std::vector<std::string> unreadable;
};

/// Builds the index from the capture's Decryption Secrets Blocks, its stored trace key log and
/// each file of `keyLogFiles`, publishes it (`TLSKeyIndex::publish`), and reports on standard
/// error each malformed line ("qor: FILE:LINE: what is wrong", the line skipped) and each file
/// that cannot be read (one line).
KeyMaterial publishKeyMaterial(const CaptureFacts& capture, const std::vector<std::string>& keyLogFiles);

/// Throws `CommandFailure` (status 2) naming the key-log files that could not be read, when
/// any; commands call it after printing their output, as they do for a capture read short.
void reportKeyLogIssue(const KeyMaterial& keys);

/// The failure (status 1) of a command asked to decrypt when no TLS decryption probe is registered.
CommandFailure noTLSProbe();

}  // namespace qor::cli
