// Expression text, edits, equality and hashing of capture-filter trees.

#include <gtest/gtest.h>

#include <unordered_set>

#include "QORModels/capturefilter/BPFFilterNode.hpp"
#include "QORModels/capturefilter/BPFFilterValidator.hpp"

namespace qor {
namespace {

using N = BPFFilterNode;
using P = BPFFilterPrimitive;

N prim(P primitive) { return N::primitive(std::move(primitive)); }
N tcp() { return prim(P::namedProto(BPFNamedProto::tcp)); }
N port(const char* value) { return prim(P::port(BPFDirection::any, BPFPortProto::any, value)); }
N host(const char* value) { return prim(P::host(BPFDirection::any, BPFAddressFamily::auto_, value)); }
N blankRaw() { return prim(P::raw(" \n\t ")); }

TEST(BPFFilterNodeRendering, EmptyChildrenDisappear) {
    EXPECT_EQ(N::empty().rendered(), "");
    EXPECT_EQ(N::compound(BPFCombinator::or_, {}).rendered(), "");
    EXPECT_EQ(N::compound(BPFCombinator::or_, {N::empty(), blankRaw()}).rendered(), "");
    // One child left: its text alone, without parentheses even when it is a compound.
    EXPECT_EQ(N::compound(BPFCombinator::and_, {N::empty(), port("53"), blankRaw()}).rendered(), "port 53");
    const N inner = N::compound(BPFCombinator::or_, {port("80"), port("443")});
    EXPECT_EQ(N::compound(BPFCombinator::and_, {inner, N::empty()}).rendered(), "port 80 or port 443");
    // An empty compound among others is dropped rather than rendered as "()".
    EXPECT_EQ(N::compound(BPFCombinator::and_, {tcp(), N::compound(BPFCombinator::or_, {}), port("22")}).rendered(),
              "tcp and port 22");
}

TEST(BPFFilterNodeRendering, NotWrapsCompoundsOnly) {
    EXPECT_EQ(N::not_(N::empty()).rendered(), "");
    EXPECT_EQ(N::not_(blankRaw()).rendered(), "");
    EXPECT_EQ(N::not_(tcp()).rendered(), "not tcp");
    EXPECT_EQ(N::not_(N::compound(BPFCombinator::or_, {tcp(), prim(P::namedProto(BPFNamedProto::udp))})).rendered(),
              "not (tcp or udp)");
    // A compound that renders as a single child still gets parentheses after "not".
    EXPECT_EQ(N::not_(N::compound(BPFCombinator::and_, {tcp()})).rendered(), "not (tcp)");
    EXPECT_EQ(N::not_(N::not_(tcp())).rendered(), "not not tcp");
    EXPECT_TRUE(BPFFilterValidator::validate(N::not_(N::not_(tcp())).rendered()).isValid());
}

class BPFFilterNodeEdits : public testing::Test {
protected:
    const UUID rootID, innerID, notID, leafID, otherLeafID;
    const N leaf = N::primitive(P::namedProto(BPFNamedProto::udp), leafID);
    const N tree = N::compound(
        BPFCombinator::and_,
        {N::primitive(P::namedProto(BPFNamedProto::tcp), otherLeafID),
         N::compound(BPFCombinator::or_, {port("80"), port("443")}, innerID), N::not_(leaf, notID)},
        rootID);
};

TEST_F(BPFFilterNodeEdits, AppendingAddsToTheMatchingCompoundOnly) {
    const N result = tree.appending(host("10.0.0.1"), innerID);
    EXPECT_EQ(result.rendered(), "tcp and (port 80 or port 443 or host 10.0.0.1) and not udp");
    EXPECT_TRUE(BPFFilterValidator::validate(result.rendered()).isValid());
    EXPECT_EQ(tree.rendered(), "tcp and (port 80 or port 443) and not udp");  // the input is unchanged
    EXPECT_EQ(tree.appending(host("10.0.0.1"), rootID).rendered(), "tcp and (port 80 or port 443) and not udp and host 10.0.0.1");
    EXPECT_EQ(tree.appending(host("10.0.0.1"), leafID), tree);  // not a compound
    EXPECT_EQ(tree.appending(host("10.0.0.1"), UUID()), tree);
    const UUID id;  // compounds under "not" are reached too
    EXPECT_EQ(N::not_(N::compound(BPFCombinator::or_, {tcp()}, id)).appending(port("22"), id).rendered(), "not (tcp or port 22)");
}

TEST_F(BPFFilterNodeEdits, RemovingDropsCompoundChildrenEmptiesNotAndReplacesTheRoot) {
    const N result = tree.removing(otherLeafID);
    EXPECT_EQ(result.rendered(), "(port 80 or port 443) and not udp");
    EXPECT_EQ(result.id(), rootID);
    ASSERT_NE(result.getIf<N::Compound>(), nullptr);
    EXPECT_EQ(result.getIf<N::Compound>()->children.size(), 2u);

    // Removing the child of a "not" empties the "not", which keeps its id.
    const N withoutLeaf = tree.removing(leafID);
    EXPECT_EQ(withoutLeaf.rendered(), "tcp and (port 80 or port 443)");
    const auto& children = withoutLeaf.getIf<N::Compound>()->children;
    ASSERT_EQ(children.size(), 3u);
    ASSERT_NE(children[2].getIf<N::Empty>(), nullptr);
    EXPECT_EQ(children[2].id(), notID);

    // Removing the root gives an empty node with a fresh id.
    const N removed = tree.removing(rootID);
    ASSERT_NE(removed.getIf<N::Empty>(), nullptr);
    EXPECT_NE(removed.id(), rootID);
    EXPECT_EQ(tree.removing(UUID()), tree);
}

TEST_F(BPFFilterNodeEdits, ReplacingSwapsTheMatchingNodeAnywhere) {
    EXPECT_EQ(tree.replacing(leafID, host("10.0.0.9")).rendered(), "tcp and (port 80 or port 443) and not host 10.0.0.9");
    EXPECT_EQ(tree.replacing(innerID, port("22")).rendered(), "tcp and port 22 and not udp");
    const N replacement = port("1");
    EXPECT_EQ(tree.replacing(rootID, replacement), replacement);
    EXPECT_EQ(tree.replacing(UUID(), replacement), tree);
}

TEST_F(BPFFilterNodeEdits, TogglingSwapsAndAndOr) {
    const N once = tree.togglingCombinator(innerID);
    EXPECT_EQ(once.rendered(), "tcp and (port 80 and port 443) and not udp");
    EXPECT_EQ(tree.togglingCombinator(rootID).rendered(), "tcp or (port 80 or port 443) or not udp");
    EXPECT_EQ(once.togglingCombinator(innerID), tree);
    EXPECT_EQ(tree.togglingCombinator(leafID), tree);
}

TEST(BPFFilterNodeValue, EqualityComparesCaseIDsFieldsAndChildOrder) {
    const UUID a, b, c;
    const auto make = [&](BPFCombinator combinator, std::vector<N> children, UUID id) { return N::compound(combinator, std::move(children), id); };
    const N first = make(BPFCombinator::and_, {N::primitive(P::vlan(), b), N::empty(c)}, a);
    EXPECT_EQ(first, make(BPFCombinator::and_, {N::primitive(P::vlan(), b), N::empty(c)}, a));
    EXPECT_EQ(first.hashValue(), make(BPFCombinator::and_, {N::primitive(P::vlan(), b), N::empty(c)}, a).hashValue());
    std::unordered_set<N> set{first};
    for (const N& other : {make(BPFCombinator::or_, {N::primitive(P::vlan(), b), N::empty(c)}, a),
                           make(BPFCombinator::and_, {N::empty(c), N::primitive(P::vlan(), b)}, a),
                           make(BPFCombinator::and_, {N::primitive(P::vlan("1"), b), N::empty(c)}, a),
                           make(BPFCombinator::and_, {N::primitive(P::vlan(), b), N::empty(UUID())}, a),
                           make(BPFCombinator::and_, {N::primitive(P::vlan(), b), N::empty(c)}, UUID()),
                           make(BPFCombinator::and_, {N::primitive(P::vlan(), b)}, a), N::empty(a), N::not_(N::empty(c), a)}) {
        EXPECT_NE(first, other);
        EXPECT_FALSE(set.contains(other));
    }
    EXPECT_NE(N::not_(N::empty(c), a), N::not_(N::empty(b), a));
}

}  // namespace
}  // namespace qor
