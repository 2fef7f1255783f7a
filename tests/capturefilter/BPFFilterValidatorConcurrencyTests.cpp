// The capture filter validator called from several threads at once.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "QORModels/capturefilter/BPFFilterCoding.hpp"
#include "QORModels/capturefilter/BPFFilterValidator.hpp"

namespace qor::BPFFilterValidator {
namespace {

TEST(BPFFilterValidatorConcurrency, ThreadsGetTheSameVerdictsAsOneThread) {
    // Valid, invalid with different messages, and empty, so that a shared error buffer or parser
    // state would show up as a wrong verdict or message.
    const std::vector<std::string> expressions = {"tcp and (port 80 or port 443) and not host 10.0.0.1", "tcp port", "net 10.0.0.0/33",
                                                  "  \n", "ether[12:2] == 0x86dd and vlan", "port 99999", "ip6 host 10.0.0.1",
                                                  "udp portrange 1000-2000 or icmp6"};
    std::vector<ValidationResult> expected;
    for (const std::string& e : expressions) expected.push_back(validate(e));

    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    std::atomic<int> mismatches{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int round = 0; round < kRounds; ++round) {
                const std::size_t i = static_cast<std::size_t>(t + round) % expressions.size();
                if (!(validate(expressions[i]) == expected[i])) ++mismatches;
            }
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(BPFFilterValidatorConcurrency, SharedTreesRenderAndValidateFromManyThreads) {
    // Trees are immutable values: threads may render and edit one tree at once.
    using N = BPFFilterNode;
    using P = BPFFilterPrimitive;
    const UUID compoundID;
    const N tree = N::compound(BPFCombinator::or_,
                               {N::primitive(P::port(BPFDirection::dst, BPFPortProto::tcp, "22")),
                                N::not_(N::primitive(P::namedProto(BPFNamedProto::icmp)))},
                               compoundID);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 100; ++round) {
                const N edited = tree.appending(N::primitive(P::length(BPFLengthMode::less, std::to_string(t + 60))),
                                                compoundID);
                const std::string expected = "tcp dst port 22 or not icmp or less " + std::to_string(t + 60);
                if (edited.rendered() != expected || !validate(edited.rendered()).isValid()) ++failures;
                if (tree.rendered() != "tcp dst port 22 or not icmp") ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace qor::BPFFilterValidator
