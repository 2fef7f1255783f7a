// The address-keyed table that the walk looks protocols up in.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QORModels/support/AddressKeyTable.hpp"

namespace qor {
namespace {

TEST(AddressKeyTable, FindsEveryKeyThroughGrowthAndCollisionsAndNothingElse) {
    AddressKeyTable<std::string> table;
    EXPECT_EQ(table.find(&table), nullptr);  // empty: nothing to find
    // Keys as the walk meets them: heap addresses of like-sized records, and a run of addresses
    // that differ only in a few low bits (they land in neighbouring or equal slots).
    std::vector<std::unique_ptr<std::string>> names;
    for (int i = 0; i < 700; ++i) names.push_back(std::make_unique<std::string>("protocol " + std::to_string(i)));
    static char run[64];
    for (int i = 0; i < 700; ++i) table.insertOrAssign(names[i].get(), *names[i]);
    for (int i = 0; i < 64; ++i) table.insertOrAssign(&run[i], "byte " + std::to_string(i));
    EXPECT_EQ(table.size(), 764u);
    for (int i = 0; i < 700; ++i) {
        const std::string* found = table.find(names[i].get());
        ASSERT_NE(found, nullptr) << i;
        EXPECT_EQ(*found, *names[i]);
    }
    for (int i = 0; i < 64; ++i) ASSERT_EQ(*table.find(&run[i]), "byte " + std::to_string(i));
    // A key set again keeps one entry with the new value; keys never set are not found.
    table.insertOrAssign(names[5].get(), "replaced");
    EXPECT_EQ(*table.find(names[5].get()), "replaced");
    EXPECT_EQ(table.size(), 764u);
    const std::string stranger;
    EXPECT_EQ(table.find(&stranger), nullptr);
    EXPECT_EQ(table.find(nullptr), nullptr);
}

}  // namespace
}  // namespace qor
