#pragma once
// Analysis helpers: hex text and host-name resolution.

#include <optional>
#include <string>
#include <string_view>

#include "QORPlatform/Data.hpp"

namespace qor {

class QORAnalyzingUtilities {
public:
    /// Bytes as lower-case hexadecimal text; with `withSeparator`, the bytes are separated by ":".
    static std::string hexStringFromData(const Data& data, bool withSeparator);
    /// The host name the system resolver gives for an address text (`version` 2 for IPv4, 30 for
    /// IPv6), or nothing when the address does not parse or has no name. Answers, found or not,
    /// are remembered for the process, so each address is asked once. Thread-safe.
    static std::optional<std::string> hostnameForIPString(std::string_view address, int version);
};

}  // namespace qor
