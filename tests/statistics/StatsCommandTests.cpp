// qor stats end to end: the counts and their order, the hierarchy against tshark's io,phs
// (tests/fixtures/expected/*.phs.tshark.txt, recorded with the command in their first line), and
// Ctrl-C.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "PlugInPackets.hpp"
#include "cli/QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::statistics {
namespace {

using Path = std::vector<std::string>;
struct Layers {
    std::int64_t frames = 0, bytes = 0;
};

/// tshark's hierarchy rows: two blanks of indentation per level.
std::map<Path, Layers> tsharkHierarchy(const std::string& capture) {
    std::ifstream in(fixturePath("expected/" + capture + ".phs.tshark.txt"));
    EXPECT_TRUE(in) << capture;
    std::map<Path, Layers> rows;
    Path path;
    std::string line;
    std::getline(in, line);  // the command that made the file
    while (std::getline(in, line)) {
        const auto name = line.find_first_not_of(' ');
        std::istringstream fields(line.substr(name));
        std::string protocol, frames, bytes;
        fields >> protocol >> frames >> bytes;
        path.resize(name / 2);
        path.push_back(protocol);
        rows[path] = {std::stoll(frames.substr(7)), std::stoll(bytes.substr(6))};
    }
    return rows;
}

/// The layers that this library's analyzers and tshark name alike (tshark's names) and count
/// alike. Left out: HTTP (tshark counts the frame that completes a message, the library every
/// segment of it) and ICMP (tshark does not show the quoted datagram as layers of its own).
const std::map<std::string, std::string> kSameLayers{
    {"ETH", "eth"},     {"NULL", "null"}, {"SLL", "sll"},   {"VLAN", "vlan"}, {"ARP", "arp"},       {"IP", "ip"},
    {"IPv6", "ipv6"},   {"TCP", "tcp"},   {"UDP", "udp"},   {"DNS", "dns"},   {"TLS", "tls"},       {"NTP", "ntp"},
    {"PPPoES", "pppoes"}, {"PPP", "ppp"}, {"L2TP", "l2tp"}, {"LCP", "lcp"},   {"ICMPv6", "icmpv6"}};

class HierarchyAgreesWithTshark : public ::testing::TestWithParam<const char*> {};

TEST_P(HierarchyAgreesWithTshark, OnLayersBothNameAlike) {
    const std::string capture = GetParam();
    const auto expected = tsharkHierarchy(capture);
    const auto run = runQor("stats --json --tree " + fixture(capture.c_str()));
    ASSERT_EQ(run.status, 0) << run.err;
    const auto parsed = nlohmann::json::parse(run.out);
    const auto& listed = parsed["protocols"];  // the most frequent first, then by name
    for (std::size_t i = 1; i < listed.size(); ++i) {
        const auto &before = listed[i - 1], &after = listed[i];
        EXPECT_TRUE(before["packets"] > after["packets"] || (before["packets"] == after["packets"] && before["protocol"] < after["protocol"]))
            << before << " before " << after;
    }
    Path ours;  // tshark's names of the row's layers, "" for a layer it names otherwise
    int compared = 0;
    for (const auto& row : parsed["hierarchy"]) {
        ours.resize(row["depth"].get<std::size_t>());
        const auto name = kSameLayers.find(row["protocol"].get<std::string>());
        const bool mapped = name != kSameLayers.end() && std::count(ours.begin(), ours.end(), "") == 0;
        ours.push_back(mapped ? name->second : "");
        if (!mapped) continue;
        const auto theirs = expected.find(ours);
        ASSERT_NE(theirs, expected.end()) << capture << ": tshark has no " << row.dump();
        EXPECT_EQ(row["frames"].get<std::int64_t>(), theirs->second.frames) << capture << " " << row.dump();
        EXPECT_EQ(row["bytes"].get<std::int64_t>(), theirs->second.bytes) << capture << " " << row.dump();
        ++compared;
    }
    EXPECT_GE(compared, 2) << capture;
}

INSTANTIATE_TEST_SUITE_P(Captures, HierarchyAgreesWithTshark,
                         ::testing::Values("one_http_stream_fin.pcap", "nb6-http.pcap", "vlan-pcp-dei.pcapng",
                                           "LinuxCookedCapture.pcap", "ipv6_http.pcap", "many_interfaces-1.pcapng",
                                           "udp_dns_request_response.pcap"));

TEST(StatsCommand, PrintsOneProtocolALineThenThePackets) {
    const auto run = runQor("stats --json " + fixture("nb6-http.pcap"));
    ASSERT_EQ(run.status, 0) << run.err;
    const auto parsed = nlohmann::json::parse(run.out);
    EXPECT_EQ(parsed["packets"], 62);
    EXPECT_FALSE(parsed.contains("hierarchy"));
    const auto text = runQor("stats " + fixture("nb6-http.pcap")).out;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(parsed["protocols"].size()) + 1);
    EXPECT_EQ(text.substr(text.size() - 20), "        62  packets\n");
}

TEST(StatsCommand, ReportsEmptyAndUnreadableCaptures) {
    const auto empty = runQor("stats " + fixture("pcapng-test200-le.pcapng"));
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.out, "         0  packets\n");
    TempDir dir;
    const auto bogus = dir.write("bogus.pcap", Data::fromString("not a capture at all, not even close"));
    const auto bad = runQor("stats " + bogus.string());
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(bad.out.empty());
}

/// Whether process `pid` catches SIGINT (its handler is installed).
bool catchesInterrupt(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1)) & 1;
    }
    return false;
}

TEST(StatsCommand, CtrlCEndsTheRunWithStatus130AndPrintsNothing) {
    // A capture long enough that reading and counting it outlasts the signal's delivery.
    PcapBuilder capture;
    const Data frame = ethernetFrame(0x0800, ipv4Packet(17, udpDatagram(5000, 53, Data::fromString("0123456789abcdef"))));
    for (std::uint32_t i = 0; i < 200000; ++i) capture.record(1700000000 + i / 1000, i % 1000, frame);
    TempDir dir;
    const auto file = dir.write("long.pcap", capture.data());
    const auto out = dir.path / "out", err = dir.path / "err";
    const std::string qor = std::string(QOR_BINARY_DIR) + "/bin/qor";
    const int outFile = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), errFile = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t pid = ::fork();
    if (pid == 0) {  // only async-signal-safe calls before exec
        ::dup2(outFile, 1);
        ::dup2(errFile, 2);
        ::execl(qor.c_str(), qor.c_str(), "stats", "--tree", file.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(outFile);
    ::close(errFile);
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!catchesInterrupt(pid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    ASSERT_EQ(kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(readFile(out).size(), 0u);
    EXPECT_EQ(readFile(err).toString(), "qor: interrupted\n");
}

}  // namespace
}  // namespace qor::test::statistics
