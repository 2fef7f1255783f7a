// Finding how deeply a JSON text nests before it is parsed: strings and escapes are skipped,
// and the outermost container counts as depth zero.

#include <gtest/gtest.h>

#include <string>

#include "QORPlatform/JSONNesting.hpp"

namespace qor {
namespace {

TEST(JSONNesting, CountsOnlyContainersOutsideStrings) {
    const struct {
        std::string text;
        std::size_t maxDepth;
        bool deeper;
    } cases[] = {
        {"1", 0, false},
        {"[]", 0, true},
        {"[]", 1, false},
        {R"({"a":[{}]})", 2, true},
        {R"({"a":[{}]})", 3, false},
        {R"([[],[],[]])", 2, false},  // siblings do not add up
        {R"(["[[[[", "{{{{"])", 1, false},
        {R"(["\"[[[", "\\", []])", 1, true},  // an escaped quote does not end the string, "\\" does
        {R"(["\\\"[["])", 1, false},
        {"]]]][", 1, false},  // stray closers do not go below zero
        {std::string(10000, '['), 9999, true},
        {std::string(10000, '['), 10000, false},
    };
    for (const auto& c : cases) EXPECT_EQ(jsonNestsDeeperThan(c.text, c.maxDepth), c.deeper) << c.text.substr(0, 40) << " " << c.maxDepth;
}

}  // namespace
}  // namespace qor
