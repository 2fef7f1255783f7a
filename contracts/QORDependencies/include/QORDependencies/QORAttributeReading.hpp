#pragma once
// A class-level interface of analyzer classes: attributes read from their bytes alone.

#include <string_view>

#include "QORPlatform/Data.hpp"
#include "QORPlatform/Value.hpp"

namespace qor {

/// What an analyzer class implements, besides `QORPluginAnalyzerClass`, when some of its
/// attributes are functions of the attribute's bytes alone (a port, a sequence number): the
/// packet's attribute lookup finds the interface with dynamic_cast, once per class, and reads
/// those attributes without making an analyzer. Optional: the attributes of a class without it,
/// and the keys for which it gives nothing, are asked of an analyzer (`value(key, data)`).
///
/// The lookup calls a reader only for a header of a packet's stored chain, which the class
/// accepted when the packet was analysed, with the bytes it would hand to `value(key, data)`
/// (the attribute's slice of the packet's bytes, clamped to the bytes there are). Those bytes
/// are valid for the call only (they may be a view that keeps no reference on their storage); a
/// reader that hands back some of them as bytes need not copy them: the lookup makes the value
/// it returns keep them. Thread-safe: readers are plain functions and the class is shared.
class QORAttributeReading {
public:
    /// The attribute's value from its bytes.
    using AttributeReader = Value (*)(const Data& data);

    virtual ~QORAttributeReading() = default;
    /// The reader of `key`: exactly what `value(key, data)` of every analyzer of the class gives
    /// for the same bytes. Null for keys whose value needs the analyzer.
    [[nodiscard]] virtual AttributeReader attributeReader(std::string_view key) const = 0;
};

}  // namespace qor
