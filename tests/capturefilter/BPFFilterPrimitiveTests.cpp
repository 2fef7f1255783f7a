// Expression text of every capture-filter primitive and the validator's verdicts, checked
// against libpcap's own verdicts.

#include <gtest/gtest.h>

#include <map>
#include <unordered_set>

#include "PrimitiveCases.hpp"
#include "QORModels/capturefilter/BPFFilterValidator.hpp"

namespace qor::test {
namespace {

using BPFFilterValidator::validate;
using BPFFilterValidator::ValidationResult;

class BPFFilterPrimitiveRendering : public testing::TestWithParam<RenderCase> {};

TEST_P(BPFFilterPrimitiveRendering, RendersTheExpectedTextWhichLibpcapJudgesAsRecorded) {
    const RenderCase& c = GetParam();
    const std::string text = c.primitive.rendered();
    EXPECT_EQ(text, c.text);
    const auto verdict = validate(text);
    if (c.libpcapError.empty()) {
        EXPECT_TRUE(verdict.isValid()) << verdict.description();
    } else {
        EXPECT_EQ(verdict, ValidationResult::invalid(c.libpcapError));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCase, BPFFilterPrimitiveRendering, testing::ValuesIn(kRenderCases),
                         [](const testing::TestParamInfo<RenderCase>& info) { return std::string(info.param.name); });

TEST(BPFFilterPrimitiveRendering, TheTableCoversEveryCase) {
    std::unordered_set<std::size_t> seen;
    for (const RenderCase& c : kRenderCases) seen.insert(c.primitive.value().index());
    seen.insert(P::namedProto(BPFNamedProto::ip).value().index());  // covered by the next test
    EXPECT_EQ(seen.size(), std::variant_size_v<P::Storage>);
}

TEST(BPFFilterPrimitiveRendering, EveryNamedProtocolIsItsOwnKeywordAndCompiles) {
    for (BPFNamedProto proto : BPFEnumeration<BPFNamedProto>::allCases) {
        const std::string text = P::namedProto(proto).rendered();
        EXPECT_EQ(text, rawValue(proto));
        EXPECT_TRUE(validate(text).isValid()) << text;
    }
}

TEST(BPFFilterPrimitiveRendering, EveryByteAccessorRendersAndLibpcapJudgesAsRecorded) {
    // Recorded as in PrimitiveCases.hpp: libpcap has no index operation for ah and esp, and no radio header on Ethernet.
    const std::map<BPFBytesProto, std::string> refused = {
        {BPFBytesProto::ah, "unsupported index operation"},
        {BPFBytesProto::esp, "unsupported index operation"},
        {BPFBytesProto::radio, "radio information not present in capture"},
    };
    for (BPFBytesProto proto : BPFEnumeration<BPFBytesProto>::allCases) {
        const std::string text = P::byteComparison(proto, "0", BPFBytesSize::one, BPFRelop::ge, "0").rendered();
        EXPECT_EQ(text, std::string(rawValue(proto)) + "[0:1] >= 0");
        const auto verdict = validate(text);
        if (const auto it = refused.find(proto); it != refused.end()) {
            EXPECT_EQ(verdict, ValidationResult::invalid(it->second)) << text;
        } else {
            EXPECT_TRUE(verdict.isValid()) << text << ": " << verdict.description();
        }
    }
}

TEST(BPFFilterPrimitiveRendering, EveryDirectionAndFamilyJoinsWithSingleSpaces) {
    for (BPFDirection direction : BPFEnumeration<BPFDirection>::allCases) {
        for (BPFAddressFamily family : BPFEnumeration<BPFAddressFamily>::allCases) {
            // Recorded as in PrimitiveCases.hpp: every combination compiles, given an address of the family's kind.
            const std::string address = family == F::ip6 ? "fe80::1" : "10.0.0.1";
            const std::string text = P::host(direction, family, address).rendered();
            EXPECT_EQ(text.find("  "), std::string::npos) << text;
            EXPECT_NE(text.front(), ' ');
            EXPECT_TRUE(validate(text).isValid()) << text;
        }
    }
}

TEST(BPFFilterPrimitiveValue, EqualityAndHashingFollowEveryField) {
    const P a = P::net(D::src, F::ip, "10.0.0.0", "255.0.0.0", std::nullopt);
    EXPECT_EQ(a, P::net(D::src, F::ip, "10.0.0.0", "255.0.0.0", std::nullopt));
    EXPECT_EQ(a.hashValue(), P::net(D::src, F::ip, "10.0.0.0", "255.0.0.0", std::nullopt).hashValue());
    const std::vector<P> different = {
        P::net(D::dst, F::ip, "10.0.0.0", "255.0.0.0", std::nullopt),
        P::net(D::src, F::ip6, "10.0.0.0", "255.0.0.0", std::nullopt),
        P::net(D::src, F::ip, "10.0.0.1", "255.0.0.0", std::nullopt),
        P::net(D::src, F::ip, "10.0.0.0", std::nullopt, std::nullopt),
        P::net(D::src, F::ip, "10.0.0.0", "255.0.0.0", 8),
        P::host(D::src, F::ip, "10.0.0.0"),
    };
    std::unordered_set<P> set{a};
    for (const P& other : different) {
        EXPECT_NE(a, other);
        EXPECT_FALSE(set.contains(other));
    }
    // Same fields in different cases stay different.
    EXPECT_NE(P::vxlan("5"), P::geneve("5"));
    EXPECT_NE(P::vxlan("5").hashValue(), P::geneve("5").hashValue());
}

TEST(BPFFilterValidator, BlankExpressionsAreEmpty) {
    for (const char* text : {"", " ", "\t\n\r\n  ", "\u2029\u00a0"}) {
        EXPECT_EQ(validate(text), ValidationResult::empty()) << text;
    }
    EXPECT_EQ(validate("").description(), "empty");
}

/// An expression and libpcap's verdict, recorded as in PrimitiveCases.hpp (tcpdump 4.99.3 /
/// libpcap 1.10.3: tcpdump -O -d -y EN10MB -s 65535 'EXPRESSION'; empty error: valid).
struct Verdict {
    std::string expression;
    std::string error;  ///< empty for valid
};

TEST(BPFFilterValidator, VerdictsMatchLibpcap) {
    const std::vector<Verdict> verdicts = {
        {"tcp port 80", ""},
        {"tcp port", "can't parse filter expression: syntax error"},
        {"host 1.2.3.4 and", "can't parse filter expression: syntax error"},
        {"(tcp or udp", "can't parse filter expression: syntax error"},
        {"net 10.0.0.0/33", "mask length must be <= 32"},
        {"port 99999", "illegal port number 99999 > 65535"},
        {"ether host zz", "unknown ether host 'zz'"},
        {"ether host 00:11:22:33:44:55 and not arp", ""},
        {"tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn", ""},
        {"icmp[icmptype] == icmp-echo", ""},
        {"vlan 100 and ip6", ""},
        {"ip6 host 10.0.0.1", "'ip6' modifier applied to ip host"},
        {"wlan type mgt", "802.11 link-layer types supported only on 802.11"},
        {"frobnicate", "can't parse filter expression: syntax error"},
        {"portrange 2000-1000", ""},
        // Surrounding blanks do not change the verdict, and the text ends at a NUL as libpcap reads it.
        {"\n\t tcp port 80 \r\n", ""},
        {"  tcp port\n", "can't parse filter expression: syntax error"},
        {std::string("tcp\0 garbage ((", 15), ""},
    };
    for (const Verdict& v : verdicts) {
        const ValidationResult result = validate(v.expression);
        if (v.error.empty()) {
            EXPECT_EQ(result, ValidationResult::valid()) << v.expression << ": " << result.description();
        } else {
            EXPECT_EQ(result, ValidationResult::invalid(v.error)) << v.expression;
        }
    }
}

TEST(BPFFilterValidator, DescriptionsNameTheVerdict) {
    EXPECT_EQ(validate("udp").description(), "valid");
    EXPECT_EQ(validate("udp port").description(), "invalid: can't parse filter expression: syntax error");
}

TEST(BPFFilterValidator, LongExpressionsCompile) {
    // Unoptimised code for a chain of ports grows faster than the chain (400 ports take seconds),
    // so the chain stays short enough for a unit test.
    std::string text = "port 1";
    for (int i = 2; i <= 100; ++i) text += " or port " + std::to_string(i);
    EXPECT_TRUE(validate(text).isValid());
    std::string nested(500, '(');
    nested += "tcp" + std::string(500, ')');
    EXPECT_TRUE(validate(nested).isValid());
}

}  // namespace
}  // namespace qor::test
