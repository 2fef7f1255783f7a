#pragma once
// Table-driven checks of one analyzer class over several byte strings.

#include <gtest/gtest.h>

#include <vector>

#include "AnalyzerHarness.hpp"

namespace qor::test {

/// A value's text: its string, else its unsigned number in decimal, else "<none>".
inline std::string valueText(const Value& v) {
    auto n = v.asUInt();
    return v.asString().value_or(n ? std::to_string(*n) : "<none>");
}

/// An attribute value an analyzer must give for a key and the attribute's bytes.
struct ValueCheck {
    const char* key;
    Data bytes;
    std::string text;
};

/// What an analyzer must make of some bytes. A field left at its default is not checked;
/// `next` "" means the analyzer carries nothing, `payload` kNoPayload that it announces no size.
struct AnalyzerRow {
    const char* what;
    Data bytes;
    long size = -1;
    const char* next = nullptr;
    long payload = -1;
    const char* info = nullptr;
    std::vector<ValueCheck> values = {};
    bool nodes = false;  ///< the detail tree must not be empty
};
inline constexpr long kNoPayload = -2;

inline void expectRows(const char* className, const std::vector<AnalyzerRow>& rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(className) + ": " + row.what);
        auto a = AnalyzerHarness::shared().make(className, row.bytes);
        ASSERT_TRUE(a);
        if (row.size >= 0) {
            EXPECT_EQ(a->protocolSize(), static_cast<std::size_t>(row.size));
        }
        if (row.next) {
            EXPECT_EQ(a->nextProtocol(), *row.next ? std::optional<std::string>(row.next) : std::nullopt);
        }
        if (row.payload == kNoPayload) {
            EXPECT_TRUE(a->value("payloadSize", row.bytes).isNone());
        } else if (row.payload >= 0) {
            EXPECT_EQ(a->value("payloadSize", row.bytes).asUInt(), static_cast<std::uint64_t>(row.payload));
        }
        if (row.info) {
            EXPECT_EQ(a->protocolInfo(row.bytes), *row.info ? std::optional<std::string>(row.info) : std::nullopt);
        }
        for (const auto& v : row.values) {
            EXPECT_EQ(valueText(a->value(v.key, v.bytes)), v.text) << v.key;
        }
        if (row.nodes) {
            EXPECT_FALSE(a->protocolNodes(row.bytes).empty());
        }
    }
}

}  // namespace qor::test
