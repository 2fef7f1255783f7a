// qor stats end to end: the counts and their order, the hierarchy against tshark's io,phs
// (tests/fixtures/expected/*.phs.tshark.txt, recorded with the command in their first line), and
// Ctrl-C.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "PlugInPackets.hpp"
#include "cli/QorRunner.hpp"
#include "support/Fixtures.hpp"

extern char** environ;

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
    const auto rows = nlohmann::json::parse(run.out)["hierarchy"];
    Path ours;
    bool mapped = true;
    std::vector<bool> mappedAt;
    int compared = 0;
    for (const auto& row : rows) {
        const auto depth = row["depth"].get<std::size_t>();
        ours.resize(depth);
        mappedAt.resize(depth);
        const auto name = kSameLayers.find(row["protocol"].get<std::string>());
        mapped = (depth == 0 || mappedAt[depth - 1]) && name != kSameLayers.end();
        mappedAt.push_back(mapped);
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

TEST(StatsCommand, ListsTheMostFrequentFirstThenByName) {
    const auto run = runQor("stats " + fixture("nb6-http.pcap"));
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string line;
    std::vector<std::pair<std::int64_t, std::string>> listed;
    while (std::getline(lines, line)) {
        const auto gap = line.find("  ", line.find_first_not_of(' '));  // names may hold blanks ("Quoted IP")
        listed.emplace_back(std::stoll(line.substr(0, gap)), line.substr(gap + 2));
    }
    ASSERT_GE(listed.size(), 3u);
    EXPECT_EQ(listed.back(), (std::pair<std::int64_t, std::string>{62, "packets"}));
    listed.pop_back();
    for (std::size_t i = 1; i < listed.size(); ++i) {
        EXPECT_TRUE(listed[i - 1].first > listed[i].first ||
                    (listed[i - 1].first == listed[i].first && listed[i - 1].second < listed[i].second))
            << listed[i - 1].second << " before " << listed[i].second;
    }
    // The JSON gives the same list.
    const auto json = runQor("stats --json " + fixture("nb6-http.pcap"));
    ASSERT_EQ(json.status, 0);
    const auto parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["packets"], 62);
    EXPECT_FALSE(parsed.contains("hierarchy"));
    ASSERT_EQ(parsed["protocols"].size(), listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(parsed["protocols"][i]["protocol"], listed[i].second);
        EXPECT_EQ(parsed["protocols"][i]["packets"], listed[i].first);
    }
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
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args{qor, "stats", "--tree", file.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, qor.c_str(), &files, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&files);
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
