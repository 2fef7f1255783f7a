#pragma once
// The user's port lists per analyzer protocol, kept in user defaults.

#include <string>
#include <vector>

#include "QORDependencies/Records.hpp"
#include "QORModels/support/Validators.hpp"

namespace qor {

class UserDefaults;

/// Reads and writes the list of `QORNetworkProtocol` assignments as JSON bytes under one
/// user-defaults key. Thread safety: holds no state of its own beyond its key; `encode` is meant
/// for the main thread, like every other write of user preferences.
class AnalyzerPortsStore {
public:
    AnalyzerPortsStore(std::string key, UserDefaults& defaults) : key_(std::move(key)), defaults_(defaults) {}

    /// The stored list sorted by protocol name; `fallback` (unsorted) when nothing is stored or
    /// the stored bytes are not such a list.
    [[nodiscard]] std::vector<QORNetworkProtocol> decode(const std::vector<QORNetworkProtocol>& fallback) const;
    /// Stores the list; an empty list, or one with an empty port text, writes nothing.
    void encode(const std::vector<QORNetworkProtocol>& protocols);
    /// The normalised port text; throws `QORErrorException(emptyPortList)` for an empty list.
    [[nodiscard]] std::string validated(const QORNetworkProtocol& protocol) const;
    [[nodiscard]] PortValidationResult validatedReporting(const QORNetworkProtocol& protocol) const;

    [[nodiscard]] const std::string& key() const { return key_; }

private:
    std::string key_;
    UserDefaults& defaults_;
};

}  // namespace qor
