// The qor tool end to end: info and packets output, and one clear line for bad input.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using test::fixture;
using test::runQor;

TEST(QorInfo, JsonSummaryOfAPcapngFile) {
    auto r = runQor("info --json " + fixture("vlan-pcp-dei.pcapng"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["format"], "pcapng");
    EXPECT_EQ(j["packetCount"], 9);
    EXPECT_EQ(j["linkTypes"][0]["name"], "ETH");
    EXPECT_TRUE(j.contains("sectionComment"));
    EXPECT_EQ(j["tlsSecretCount"], 0);
    // capinfos 4.0.17: first packet 2025-11-13 21:46:34.994237 UTC (epoch 1763070394.994237).
    EXPECT_NEAR(j["firstTime"].get<double>(), 1763070394.994237, 1e-6);
}

TEST(QorPackets, PaddedFramesCountOnlyTheSegmentAsTcpPayload) {
    // tshark 4.0.17 (-T fields -e tcp.len -e _ws.col.Info): frame 11 is a 64-byte frame whose
    // IPv4 total length is 40, "49486 → 80 [ACK] ... Len=0".
    auto r = runQor("packets --json " + fixture("one_http_stream_fin.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto j = test::jsonLines(r.out).at(10);
    EXPECT_EQ(j["packetProtocolHistory"], "ETH-IP-TCP");
    auto info = j["packetInfoOverview"].get<std::string>();
    EXPECT_NE(info.find("Len=0"), std::string::npos) << info;
    EXPECT_EQ(j["srcPort"], 49486);
}

TEST(QorPackets, DisplayFiltersSelectAndCount) {
    // tshark 4.0.17 -Y 'http.request.method == "GET"' on this capture: frame 4 only.
    auto r = runQor("packets " + fixture("one_http_stream_fin.pcap") + " -Y 'packetInfoOverview BEGINSWITH \"GET \"'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
    EXPECT_TRUE(r.out.starts_with("     4 ")) << r.out;
    // tshark 4.0.17 -Y 'dns' -T fields -e frame.number | wc -l on many_interfaces-1.pcapng: 14; with -Y 'tcp.port == 443 || udp.port == 443' the first is frame 13.
    r = runQor("packets " + fixture("many_interfaces-1.pcapng") + " --filter 'packetProtocolHistory CONTAINS \"DNS\"' --count");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "14\n");
    // JSON lines carry the record's property names and leave absent values out.
    r = runQor("packets --json " + fixture("many_interfaces-1.pcapng") + " -Y 'srcPort == 443 OR dstPort == 443'");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto first = test::jsonLines(r.out).at(0);
    EXPECT_EQ(first["packetId"], 13);
    EXPECT_TRUE(first.contains("pcapngInterfaceIndex"));
    EXPECT_FALSE(first.contains("packetComment"));

    // Bad filters: one line, status 2, nothing listed.
    for (const auto& [filter, message] : {std::pair<const char*, const char*>{"srcPort ==", "qor: filter: expected a value at 10\n"},
                                          {"sourcePort == 443", "qor: filter: unknown key \"sourcePort\"\n"},
                                          {"srcPort CONTAINS \"4\"", nullptr}}) {
        r = runQor("packets " + fixture("one_http_stream_fin.pcap") + " -Y '" + filter + "'");
        EXPECT_EQ(r.status, 2) << filter;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        if (message) {
            EXPECT_EQ(r.err, message);
            EXPECT_TRUE(r.out.empty());
        }
    }
}

TEST(QorPackets, ListingKeepsFileOrderAcrossWindowsAndWritesEveryTimeAndComment) {
    // 2,600 packets: six windows of the streamed listing and part of a seventh, each reusing the
    // text slots of the window before it. Packet 700 carries a comment longer than a
    // listing line usually is; the last packet lies 4e9 s after the first, a time the listing's
    // integer shortcut leaves to the general formatter.
    test::TempDir dir;
    test::PcapngBuilder ng;
    ng.section().interface(1);
    const std::string comment(600, 'c');
    const std::uint32_t count = 2600;
    for (std::uint32_t i = 1; i <= count; ++i) {
        const std::uint64_t micros = i == count ? 4'000'000'000'000'000ULL : std::uint64_t{i - 1} * 1'500'000;
        std::vector<test::PcapngBuilder::Option> options;
        if (i == 700) options.push_back(test::PcapngBuilder::text(1, comment));
        ng.packet(0, micros, Data::fromString("not an ethernet frame"), -1, options);
    }
    auto r = runQor("packets " + dir.write("many.pcapng", ng.data()).string());
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) lines.push_back(r.out.substr(at, end - at));
    ASSERT_EQ(lines.size(), count);
    for (std::uint32_t i = 1; i <= count; ++i) {
        ASSERT_EQ(lines[i - 1].substr(0, 7), fmt::format("{:>6} ", i)) << lines[i - 1];
    }
    EXPECT_EQ(lines[1].substr(7, 11), "   1.500000");
    EXPECT_EQ(lines[999].substr(7, 11), "1498.500000");
    EXPECT_EQ(lines[count - 1].substr(7, 17), "4000000000.000000");
    EXPECT_TRUE(lines[699].ends_with("  # " + comment)) << lines[699];
}

TEST(QorBpf, RendersTheReadmesSavedTreeAndItsVerdict) {
    auto r = runQor("bpf render --check " + (std::filesystem::path(QOR_FIXTURES_DIR) / "filters/tcp-web-not-host.json").string());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "tcp and (dst port 80 or dst port 443) and not host 10.0.0.1\nvalid\n");
}

TEST(QorBadInput, OneClearLineAndANonZeroStatus) {
    test::TempDir dir;
    auto notCapture = dir.write("notes.pcap", Data::fromString("this is a text file, not a capture\n"));
    auto shortHeader = dir.write("short.pcap", test::PcapBuilder().data().slice(0, 10));
    auto huge = dir.write("huge.pcap", test::PcapBuilder().record(1, 0, Data::fromString("abcd"), 0xFFFFFFFF, 0xFFFFFFFF).data());
    test::PcapngBuilder ng;
    ng.section().interface(1).packet(0, 1, Data::fromString("abcd"));
    auto wild = dir.write("wild.pcapng", test::Bytes().raw(ng.data()).u32(6).u32(0x7FFFFFF0).zeros(16).data());
    for (const auto& file : {notCapture, shortHeader, huge, wild, dir.path / "missing.pcap", dir.path}) {
        auto r = runQor("info " + file.string());
        EXPECT_NE(r.status, 0) << file;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(file.string()), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace qor
