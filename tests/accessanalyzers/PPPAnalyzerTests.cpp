// PPP and the protocols it carries (LCP, IPCP, IPv6CP, CCP, PAP, CHAP), and GRE, byte by byte.

#include "accessanalyzers/AccessTestSupport.hpp"

namespace qor::test::access {
namespace {

TEST(PPPAndGREAnalyzers, ReadTheirHeadersAndFieldsAndStopAtLyingLengths) {
    // Protocol-Reject of an IPv6CP Configure-Request: the chain goes on into IPv6CP.
    auto reject = bytes({0x08, 0x03, 0x00, 0x14, 0x80, 0x57, 0x01, 0x01, 0x00, 0x0e, 0x01, 0x0a, 0x02, 0x11, 0x22,
                         0xff, 0xfe, 0x33, 0x44, 0x55});
    auto nak = bytes({0x03, 0x02, 0x00, 0x16, 0x03, 0x06, 0x0a, 0x00, 0x00, 0x07, 0x81, 0x06, 0x08, 0x08, 0x08, 0x08,
                      0x83, 0x06, 0x00, 0x00, 0x00, 0x00});
    auto papRequest = bytes({0x01, 0x01, 0x00, 0x10, 0x04, 'j', 'a', 'c', 'k', 0x06, 's', 'e', 'c', 'r', 'e', 't'});
    expectAccessRows({
        // The protocol field in every form (the protocols PPP carries in real captures: CaptureAgreement, AccessChains).
        {"PPPAnalyzer", bytes({0xff, 0x03, 0xc0, 0x21, 0x01}), nullptr, {}, {}, 4, "LCP"},  // address/control, 16-bit protocol
        {"PPPAnalyzer", bytes({0xc0, 0x23, 0x01}), nullptr, {}, {}, 2, "PAP"},              // address/control compressed
        {"PPPAnalyzer", bytes({0xff, 0x03, 0x21, 0x45}), nullptr, {}, {}, 3, "IP"},         // protocol field compressed (odd byte)
        {"PPPAnalyzer", bytes({0x00, 0x2d, 0x01}), nullptr, {}, {}, 2, ""},  // Van Jacobson: named, not carried
        {"PPPAnalyzer", bytes({0xc0, 0x21}), nullptr, {}, {}, 2, ""},        // nothing after the header
        // A zero or lying LCP option length ends the option walk.
        {"LCPAnalyzer", bytes({0x01, 0x01, 0x00, 0x0c, 0x01, 0x04, 0x05, 0xd4, 0x05, 0x00, 0x00, 0x00}), nullptr,
         {{"Maximum-Receive-Unit (MRU)", "1492"}, {"Malformed Option", nullptr}}, {"Magic-Number"}, -1, nullptr,
         {{"lcpCode", "1"}, {"lcpMRU", "1492"}}},
        {"LCPAnalyzer", bytes({0x01, 0x01, 0x00, 0x0c, 0x01, 0x04, 0x05, 0xd4, 0x05, 0x09, 0x00, 0x00}), nullptr,
         {{"Maximum-Receive-Unit (MRU)", "1492"}, {"Malformed Option", nullptr}}, {"Magic-Number"}},
        // Only Configure packets have options: the same bytes after an Echo-Reply are its magic number.
        {"LCPAnalyzer", bytes({0x0a, 0x05, 0x00, 0x08, 0x01, 0x04, 0x05, 0xd4}), "Echo-Reply (id 5)", {{"Magic-Number", "0x010405d4"}},
         {}, -1, nullptr, {{"lcpIdentifier", "5"}, {"lcpMRU", "<none>"}}},
        {"LCPAnalyzer", reject, nullptr, {}, {}, 6, "IPv6CP"},
        {"IPv6CPAnalyzer", reject.slice(6), nullptr, {{"Interface-Identifier", "0211:22ff:fe33:4455"}}},
        {"IPCPAnalyzer", nak,
         "Configure-Nak (id 2), IP-Address 10.0.0.7, Primary-DNS-Address 8.8.8.8, Secondary-DNS-Address 0.0.0.0",
         {{"IP-Address", "10.0.0.7"}, {"Primary-DNS-Address", "8.8.8.8"}, {"Secondary-DNS-Address", "0.0.0.0"}}, {}, -1, nullptr,
         {{"ipcpAddress", "10.0.0.7"}}},
        // A zero option length ends the walk before the IP-Address option.
        {"IPCPAnalyzer", bytes({0x01, 0x01, 0x00, 0x0c, 0x02, 0x00, 0x03, 0x06, 0x0a, 0x00, 0x00, 0x07}), nullptr,
         {{"Malformed Option", nullptr}}, {"IP-Address"}, -1, nullptr, {{"ipcpAddress", "<none>"}}},
        {"CCPAnalyzer", bytes({0x01, 0x01, 0x00, 0x0a, 0x12, 0x06, 0x01, 0x00, 0x00, 0x40}), nullptr, {{"Microsoft PPE/PPC", "01000040"}}},
        // No "ack" from the user name in the summary.
        {"PAPAnalyzer", papRequest, "Authenticate-Request (id 1)", {}, {}, -1, nullptr, {{"papPeerID", "jack"}}},
        // A peer-id length past the packet shows as malformed, never read.
        {"PAPAnalyzer", bytes({0x01, 0x01, 0x00, 0x08, 0x7f, 'a', 'b', 'c'}), nullptr, {{"Malformed Peer-ID", nullptr}}, {"Peer-ID"}},
        {"CHAPAnalyzer", bytes({0x02, 0x09, 0x00, 0x0d, 0x04, 0xaa, 0xbb, 0xcc, 0xdd, 'a', 'l', 'i', 'x'}), "Response (id 9)",
         {{"Value", "aabbccdd"}, {"Name", "alix"}}, {}, -1, nullptr, {{"chapName", "alix"}}},
        {"CHAPAnalyzer", bytes({0x01, 0x01, 0x00, 0x06, 0x40, 0x00}), nullptr, {{"Malformed Value", nullptr}}},
        // PPTP: K, S and A set, version 1, PPP; payload length 4, call id 0x1780.
        {"GREAnalyzer", bytes({0x30, 0x81, 0x88, 0x0b, 0x00, 0x04, 0x17, 0x80, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01,
                               0xff, 0x03, 0xc0, 0x21}),
         "Encapsulated PPP, call 6016, seq 2, ack 1", {}, {}, 16, "PPP", {{"greCallId", "6016"}}},
        // A bare acknowledgement (payload length 0) carries nothing.
        {"GREAnalyzer", bytes({0x20, 0x81, 0x88, 0x0b, 0x00, 0x00, 0x17, 0x80, 0x00, 0x00, 0x00, 0x05}), nullptr, {}, {}, -1, ""},
        // RFC 2784 with checksum, carrying IPv4.
        {"GREAnalyzer", bytes({0x80, 0x00, 0x08, 0x00, 0x12, 0x34, 0x00, 0x00, 0x45, 0x00}), nullptr, {}, {}, 8, "IP"},
    });
    expectRefused("PPPAnalyzer", {bytes({0xff, 0x03}), bytes({0xc0})});
    // Key cut short; version 7.
    expectRefused("GREAnalyzer", {bytes({0x30, 0x81, 0x88, 0x0b, 0x00, 0x04}), bytes({0x00, 0x07, 0x08, 0x00})});
}

}  // namespace
}  // namespace qor::test::access
