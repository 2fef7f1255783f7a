// Verdicts of the capture filter validator, compared with libpcap's own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QORModels/capturefilter/BPFFilterValidator.hpp"

namespace qor::BPFFilterValidator {
namespace {

TEST(BPFFilterValidator, BlankExpressionsAreEmpty) {
    for (const char* text : {"", " ", "\t\n\r\n  ", "\u2029\u00a0"}) {
        EXPECT_EQ(validate(text), ValidationResult::empty()) << text;
    }
    EXPECT_EQ(validate("").description(), "empty");
}

/// An expression and libpcap's verdict, recorded with tcpdump 4.99.3 / libpcap 1.10.3:
///     tcpdump -O -d -y EN10MB -s 65535 'EXPRESSION'
/// (no error: valid; otherwise the message after "tcpdump: ").
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
    EXPECT_EQ(ValidationResult::invalid("x").message(), "x");
    EXPECT_TRUE(ValidationResult::valid().message().empty());
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
}  // namespace qor::BPFFilterValidator
