// Expression text of every capture-filter primitive and the validator's verdicts, checked
// against libpcap's own verdicts.

#include <gtest/gtest.h>

#include <map>

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

TEST(BPFFilterValidator, BlankExpressionsAreEmptyAndDescriptionsNameTheVerdict) {
    for (const char* text : {"", " ", "\t\n\r\n  ", "\u2029\u00a0"}) {
        EXPECT_EQ(validate(text), ValidationResult::empty()) << text;
    }
    EXPECT_EQ(validate("").description(), "empty");
    EXPECT_EQ(validate("udp").description(), "valid");
    EXPECT_EQ(validate("udp port").description(), "invalid: can't parse filter expression: syntax error");
}

TEST(BPFFilterValidator, VerdictsMatchLibpcap) {
    // Recorded as in PrimitiveCases.hpp (tcpdump -O -d -y EN10MB -s 65535 'EXPRESSION'); empty error: valid.
    const std::vector<std::pair<std::string, std::string>> verdicts = {
        {"tcp port", "can't parse filter expression: syntax error"},
        {"(tcp or udp", "can't parse filter expression: syntax error"},
        {"port 99999", "illegal port number 99999 > 65535"},
        {"ether host zz", "unknown ether host 'zz'"},
        {"ether host 00:11:22:33:44:55 and not arp", ""},
        {"tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn", ""},
        {"icmp[icmptype] == icmp-echo", ""},
        {"vlan 100 and ip6", ""},
        {"ip6 host 10.0.0.1", "'ip6' modifier applied to ip host"},
        {"portrange 2000-1000", ""},
        // Surrounding blanks do not change the verdict, and the text ends at a NUL as libpcap reads it.
        {"\n\t tcp port 80 \r\n", ""},
        {"  tcp port\n", "can't parse filter expression: syntax error"},
        {std::string("tcp\0 garbage ((", 15), ""},
    };
    for (const auto& [expression, error] : verdicts) {
        EXPECT_EQ(validate(expression), error.empty() ? ValidationResult::valid() : ValidationResult::invalid(error)) << expression;
    }
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
