#pragma once
// Enumerations shared by the library, its plug-ins and the application.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qor {

/// Which transport a protocol rides on. Raw values are the ordinals.
enum class kQORSourceProtocols : std::int8_t {
    none = 0,  ///< no transport (link-layer and ether-type protocols)
    tcp = 1,
    udp = 2,
    all = 3,   ///< the built-in "All" protocol
};
inline std::int8_t rawValue(kQORSourceProtocols p) { return static_cast<std::int8_t>(p); }
std::optional<kQORSourceProtocols> sourceProtocolFromRaw(std::int64_t raw);
/// "NONE", "TCP", "UDP", "ALL".
std::string_view sourceProtocolText(kQORSourceProtocols p);
std::optional<kQORSourceProtocols> sourceProtocolFromText(std::string_view text);

/// Shared constants whose text raw values serve as notification names (and, for
/// `kQORValueType`, as the key of a column's value type in its predicate options).
enum class QORProtocolKonstants {
    kQORPlugInName = 0,
    kQORColumnIdentifier = 1,
    kQORValueType = 2,
    kQORPacketTableRefresh = 3,    ///< refresh the packet table; also posted for its font
    kQORFontConsoleRaw = 4,
    kQORFontProtocolDetails = 5,
    kQORFontDataSourcesList = 6,
    kQORFontDataSourcesHead = 7,
    kQORFontProtocolStatistics = 8,
    kQORClearAnalyzingCache = 9,   ///< empties every packet's analyzer cache
};
std::string_view rawValue(QORProtocolKonstants k);

/// Kinds of sidebar nodes.
enum class NodeType { root = 0, folder = 1, file = 2, liveRecording = 3, savedQuery = 4 };

/// The value type of a plug-in attribute, as the filter catalog offers it.
enum class AttributeValueType { string = 0, int64 = 1, uint32 = 2, uint16 = 3, uint8 = 4, double_ = 5, bool_ = 6, data = 7 };
std::string_view rawValue(AttributeValueType t);

/// Errors of the shared contracts. Raw values are the ordinals.
enum class QORError {
    unknown = 0,
    missingInput = 1,       ///< a required argument was absent
    invalidInput = 2,       ///< an argument had the wrong form
    invalidPortList = 3,    ///< a port list holds something that is not a port number
    portOutOfRange = 4,
    notFound = 5,
    ioFailure = 6,
    notSupported = 7,
    cancelled = 8,
    emptyPortList = 9,      ///< a protocol's port list is empty
};

/// The exception that carries a `QORError`.
class QORErrorException : public std::runtime_error {
public:
    explicit QORErrorException(QORError code, std::string message = {});
    [[nodiscard]] QORError code() const { return code_; }
    friend bool operator==(const QORErrorException& a, const QORErrorException& b) { return a.code_ == b.code_; }

private:
    QORError code_;
};

}  // namespace qor
