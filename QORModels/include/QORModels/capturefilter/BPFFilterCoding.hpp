#pragma once
// The serialised form of capture-filter trees: nlohmann/json serializers and their decoding error.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "QORModels/capturefilter/BPFFilterEnumerations.hpp"
#include "QORModels/capturefilter/BPFFilterNode.hpp"
#include "QORModels/capturefilter/BPFFilterPrimitive.hpp"
#include "QORModels/support/KeyedCoding.hpp"

// The serialised form. Every tagged variant is an object with exactly one key, the case name, whose
// value is an object of the case's fields under their names; a case whose only field has no name
// keeps it under "_0", a case without fields is an empty object, and absent optional fields are
// left out. Enumeration values are written as their raw values (`BPFBytesSize` as the integer 1, 2
// or 4) and ids as UUID text. For example:
//
//     {"compound": {"id": "…", "combinator": "and", "children": [
//         {"primitive": {"id": "…", "value": {"namedProto": {"_0": "tcp"}}}},
//         {"not": {"id": "…", "child": {"primitive": {"id": "…",
//             "value": {"host": {"direction": "any", "family": "auto", "value": "10.0.0.1"}}}}}}]}}
//
// Reading counts the keys that name a case and fails with "Invalid number of keys found, expected
// one." unless there is exactly one; other keys, beside the case key or among a case's fields, are
// ignored. A null optional field reads as absent.

namespace qor {

/// How deeply filter nodes may nest in a document that is read (a `not` or a compound and its
/// child are two levels). Saved trees come from outside: the limit keeps reading, rendering and
/// freeing a hostile tree within a small, fixed stack.
inline constexpr std::size_t kBPFFilterMaxNodeDepth = 64;
/// How deeply JSON arrays and objects may nest in a document that `decodeBPFFilterNode` parses:
/// three JSON levels per node level, plus the levels of a primitive.
inline constexpr std::size_t kBPFFilterMaxDocumentDepth = 3 * kBPFFilterMaxNodeDepth + 8;

/// A failure to read a serialised capture-filter tree.
using BPFFilterDecodingError = DecodingError;

/// Reads a serialised tree from JSON text. Throws `BPFFilterDecodingError` for text that is not
/// JSON (kind `dataCorrupted`), that nests deeper than `kBPFFilterMaxDocumentDepth`, or that does
/// not describe a tree. Thread-safe.
BPFFilterNode decodeBPFFilterNode(std::string_view jsonText);
/// The JSON text of a tree, compact by default or indented by `indent` spaces. Text fields that are
/// not valid UTF-8 have the offending bytes replaced by U+FFFD. Thread-safe.
std::string encodeBPFFilterNode(const BPFFilterNode& node, int indent = -1);

void to_json(nlohmann::json& json, BPFDirection value);
void to_json(nlohmann::json& json, BPFAddressFamily value);
void to_json(nlohmann::json& json, BPFPortProto value);
void to_json(nlohmann::json& json, BPFNamedProto value);
void to_json(nlohmann::json& json, BPFLengthMode value);
void to_json(nlohmann::json& json, BPFBroadcastScope value);
void to_json(nlohmann::json& json, BPFMulticastScope value);
void to_json(nlohmann::json& json, BPFLinkDirection value);
void to_json(nlohmann::json& json, BPFWlanAddressField value);
void to_json(nlohmann::json& json, BPFWlanFrameType value);
void to_json(nlohmann::json& json, BPFWlanDirection value);
void to_json(nlohmann::json& json, BPFRelop value);
void to_json(nlohmann::json& json, BPFBytesProto value);
void to_json(nlohmann::json& json, BPFBytesSize value);
void to_json(nlohmann::json& json, BPFCombinator value);

/// Each reads the raw value; anything else throws `BPFFilterDecodingError`.
void from_json(const nlohmann::json& json, BPFDirection& value);
void from_json(const nlohmann::json& json, BPFAddressFamily& value);
void from_json(const nlohmann::json& json, BPFPortProto& value);
void from_json(const nlohmann::json& json, BPFNamedProto& value);
void from_json(const nlohmann::json& json, BPFLengthMode& value);
void from_json(const nlohmann::json& json, BPFBroadcastScope& value);
void from_json(const nlohmann::json& json, BPFMulticastScope& value);
void from_json(const nlohmann::json& json, BPFLinkDirection& value);
void from_json(const nlohmann::json& json, BPFWlanAddressField& value);
void from_json(const nlohmann::json& json, BPFWlanFrameType& value);
void from_json(const nlohmann::json& json, BPFWlanDirection& value);
void from_json(const nlohmann::json& json, BPFRelop& value);
void from_json(const nlohmann::json& json, BPFBytesProto& value);
void from_json(const nlohmann::json& json, BPFBytesSize& value);
void from_json(const nlohmann::json& json, BPFCombinator& value);

}  // namespace qor

/// Reads and writes primitives in the serialised form; reading throws `qor::BPFFilterDecodingError`.
template <>
struct nlohmann::adl_serializer<qor::BPFFilterPrimitive> {
    static qor::BPFFilterPrimitive from_json(const nlohmann::json& json);
    static void to_json(nlohmann::json& json, const qor::BPFFilterPrimitive& primitive);
};

/// Reads and writes trees in the serialised form; reading throws `qor::BPFFilterDecodingError`,
/// also for trees nested deeper than `qor::kBPFFilterMaxNodeDepth`.
template <>
struct nlohmann::adl_serializer<qor::BPFFilterNode> {
    static qor::BPFFilterNode from_json(const nlohmann::json& json);
    static void to_json(nlohmann::json& json, const qor::BPFFilterNode& node);
};
