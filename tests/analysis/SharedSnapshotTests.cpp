// SharedSnapshot: a thread's remembered value never outlives the holder it came from.

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <string>

#include "QORModels/analysis/SharedSnapshot.hpp"

namespace qor::test {
namespace {

using Holder = SharedSnapshot<std::string>;

TEST(SharedSnapshot, LoadSeesEveryStoreOnTheSameThread) {
    Holder holder(std::make_shared<const std::string>("one"));
    EXPECT_EQ(*holder.load(), "one");
    EXPECT_EQ(*holder.load(), "one");  // from the thread's remembered value
    holder.store(std::make_shared<const std::string>("two"));
    EXPECT_EQ(*holder.load(), "two");
}

TEST(SharedSnapshot, HolderMadeAtADestroyedHoldersAddressGivesItsOwnValue) {
    alignas(Holder) unsigned char storage[sizeof(Holder)];
    auto* first = new (storage) Holder(std::make_shared<const std::string>("old"));
    ASSERT_EQ(*first->load(), "old");  // this thread now remembers (address, generation)
    first->~Holder();

    auto* second = new (storage) Holder(std::make_shared<const std::string>("new"));
    ASSERT_EQ(static_cast<void*>(second), static_cast<void*>(first));
    EXPECT_EQ(*second->load(), "new");
    // The same after a store on each: the generations of different holders never meet.
    second->store(std::make_shared<const std::string>("newer"));
    EXPECT_EQ(*second->load(), "newer");
    second->~Holder();
    auto* third = new (storage) Holder(std::make_shared<const std::string>("third"));
    EXPECT_EQ(*third->load(), "third");
    third->~Holder();
}

}  // namespace
}  // namespace qor::test
