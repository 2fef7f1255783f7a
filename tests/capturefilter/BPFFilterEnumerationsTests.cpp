// Raw values, titles, keywords and case order of the capture-filter choices.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "QORModels/capturefilter/BPFFilterEnumerations.hpp"
#include "QORPlatform/Localized.hpp"

namespace qor {
namespace {

/// Every case's raw value read back gives the case, raw values are distinct, and unknown text
/// gives nothing; for each enumeration in `Es`.
template <class... Es>
void expectRawValuesRoundTrip() {
    ([] {
        std::vector<std::string> seen;
        for (Es value : BPFEnumeration<Es>::allCases) {
            const std::string raw(rawValue(value));
            EXPECT_EQ(BPFEnumeration<Es>::fromRaw(raw), value) << raw;
            for (const std::string& other : seen) EXPECT_NE(raw, other);
            seen.push_back(raw);
        }
        EXPECT_EQ(BPFEnumeration<Es>::fromRaw("nonsense"), std::nullopt);
        EXPECT_EQ(BPFEnumeration<Es>::fromRaw(""), std::nullopt);
    }(), ...);
}

TEST(BPFFilterEnumerations, RawValuesRoundTripForEveryEnumeration) {
    expectRawValuesRoundTrip<BPFDirection, BPFAddressFamily, BPFPortProto, BPFNamedProto, BPFLengthMode, BPFBroadcastScope,
                             BPFMulticastScope, BPFLinkDirection, BPFWlanAddressField, BPFWlanFrameType, BPFWlanDirection,
                             BPFRelop, BPFBytesProto, BPFCombinator>();
}

TEST(BPFFilterEnumerations, DirectionsHaveTitlesAndKeywordsInOrder) {
    struct Row {
        BPFDirection value;
        const char* raw;
        const char* title;
        const char* keyword;
    };
    const std::vector<Row> rows = {
        {BPFDirection::any, "any", "Any direction", ""},
        {BPFDirection::src, "src", "Source", "src"},
        {BPFDirection::dst, "dst", "Destination", "dst"},
        {BPFDirection::srcOrDst, "srcOrDst", "Source or Destination", "src or dst"},
        {BPFDirection::srcAndDst, "srcAndDst", "Source and Destination", "src and dst"},
    };
    ASSERT_EQ(BPFEnumeration<BPFDirection>::allCases.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(BPFEnumeration<BPFDirection>::allCases[i], rows[i].value);
        EXPECT_EQ(rawValue(rows[i].value), rows[i].raw);
        EXPECT_EQ(displayTitle(rows[i].value), rows[i].title);
        EXPECT_EQ(expressionKeyword(rows[i].value), rows[i].keyword);
    }
}

TEST(BPFFilterEnumerations, OnlyDirectionTitlesAreLocalized) {
    setLocalizedStringTable({{"Source", "Quelle"}, {"IPv4", "IPv4 (übersetzt)"}});
    EXPECT_EQ(displayTitle(BPFDirection::src), "Quelle");
    EXPECT_EQ(displayTitle(BPFDirection::dst), "Destination");
    EXPECT_EQ(displayTitle(BPFAddressFamily::ip), "IPv4");
    setLocalizedStringTable({});
    EXPECT_EQ(displayTitle(BPFDirection::src), "Source");
}

TEST(BPFFilterEnumerations, FixedTitlesKeywordsAndCaseOrder) {
    const std::vector<std::string> lengthTitles = {"less (≤)", "greater (≥)", "=", "≠", "≤", "≥"};
    ASSERT_EQ(BPFEnumeration<BPFLengthMode>::allCases.size(), lengthTitles.size());
    for (std::size_t i = 0; i < lengthTitles.size(); ++i)
        EXPECT_EQ(displayTitle(BPFEnumeration<BPFLengthMode>::allCases[i]), lengthTitles[i]);
    EXPECT_EQ(rawValue(BPFAddressFamily::auto_), "auto");
    EXPECT_EQ(displayTitle(BPFAddressFamily::auto_), "auto");
    EXPECT_EQ(expressionKeyword(BPFAddressFamily::auto_), "");
    EXPECT_EQ(displayTitle(BPFAddressFamily::ip6), "IPv6");
    EXPECT_EQ(displayTitle(BPFAddressFamily::rarp), "RARP");
    EXPECT_EQ(displayTitle(BPFPortProto::any), "tcp / udp / sctp");
    EXPECT_EQ(expressionKeyword(BPFPortProto::any), "");
    EXPECT_EQ(expressionKeyword(BPFPortProto::sctp), "sctp");
    EXPECT_EQ(rawValue(BPFLengthMode::greaterOrEqual), "greaterOrEqual");
    EXPECT_EQ(rawValue(BPFRelop::bitOr), "|");
    EXPECT_EQ(displayTitle(BPFRelop::bitAnd), "&");
    EXPECT_EQ(expressionKeyword(BPFRelop::ne), "!=");
    EXPECT_EQ(expressionKeyword(BPFWlanDirection::dstods), "dstods");
    EXPECT_EQ(rawValue(BPFCombinator::and_), "and");
    EXPECT_EQ(displayTitle(BPFCombinator::or_), "OR");
    EXPECT_EQ(BPFEnumeration<BPFNamedProto>::allCases.size(), 18u);
    EXPECT_EQ(BPFEnumeration<BPFNamedProto>::allCases.back(), BPFNamedProto::carp);
    EXPECT_EQ(BPFEnumeration<BPFBytesProto>::allCases.size(), 23u);
    EXPECT_EQ(BPFEnumeration<BPFBytesProto>::allCases.back(), BPFBytesProto::tr);
    EXPECT_EQ(BPFEnumeration<BPFRelop>::allCases.size(), 8u);
    EXPECT_EQ(BPFEnumeration<BPFWlanAddressField>::allCases.front(), BPFWlanAddressField::ra);
}

TEST(BPFFilterEnumerations, ByteCountsAreIntegers) {
    for (auto [size, n, title] : {std::tuple{BPFBytesSize::one, 1, "1 byte"}, std::tuple{BPFBytesSize::two, 2, "2 bytes"},
                                  std::tuple{BPFBytesSize::four, 4, "4 bytes"}}) {
        EXPECT_EQ(rawValue(size), n);
        EXPECT_EQ(displayTitle(size), title);
        EXPECT_EQ(BPFEnumeration<BPFBytesSize>::fromRaw(n), size);
    }
    EXPECT_EQ(BPFEnumeration<BPFBytesSize>::fromRaw(3), std::nullopt);
    EXPECT_EQ(BPFEnumeration<BPFBytesSize>::fromRaw(0), std::nullopt);
}

}  // namespace
}  // namespace qor
