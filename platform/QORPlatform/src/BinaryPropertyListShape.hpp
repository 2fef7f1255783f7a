#pragma once
// A check of a binary property list's container nesting, made before libplist parses it.

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace qor {

/// Walks the object graph of a binary property list ("bplist00") without building it and says
/// why it must not be parsed: a malformed trailer or offset table, a reference or count that
/// points outside the data, or containers (arrays, sets, dictionaries) nested more than
/// `maxDepth` deep, which includes every reference cycle. Nothing when the shape is sound.
///
/// libplist parses containers recursively and follows references as it meets them, so a small
/// hostile file nested a hundred thousand deep would exhaust the stack; this walk keeps its own
/// bounded work list. It visits the objects level by level (each object once per level), so
/// shared sub-graphs cost no more than their size times `maxDepth`.
///
/// Layout read (all numbers big-endian): the header "bplist00"; objects, each starting with a
/// marker byte whose high nibble is the type (0xA array, 0xC set, 0xD dictionary; others hold no
/// references) and low nibble the count, 0xF meaning an integer object (marker 0x1n, 2^n bytes)
/// follows with the count; containers then hold count object references (twice count for a
/// dictionary: keys, then values) of the trailer's reference size; the offset table; and a
/// 32-byte trailer: 6 unused bytes, offset size, reference size, object count, top object and
/// offset-table position (8 bytes each).
std::optional<std::string> binaryPropertyListShapeFault(std::span<const std::byte> data, unsigned maxDepth);

}  // namespace qor
