// Every real capture read through the library agrees with tshark and capinfos.
//
// Expected values: tests/fixtures/expected/frames/<capture>.tsv (tshark 4.0.17 -T fields
// frame.number, frame.time_epoch, frame.cap_len, frame.len, frame.interface_id, frame.comment;
// the command is on each file's first line) and tests/fixtures/expected/capinfos-counts.tsv
// (capinfos 4.0.17 -c).

#include <algorithm>
#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

struct Frame {
    std::string time;
    std::uint32_t caplen = 0, len = 0;
    std::string interfaceId, comment;
};

/// The tab-separated rows of a recorded fixture file, without blank and '#' lines.
std::vector<std::vector<std::string>> tsvRows(const std::string& fixture) {
    std::ifstream in(test::fixturePath(fixture));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::stringstream ss(line);
        auto& row = rows.emplace_back();
        for (std::string cell; std::getline(ss, cell, '\t');) row.push_back(cell);
    }
    return rows;
}

std::vector<Frame> tsharkFrames(const std::string& capture) {
    std::vector<Frame> frames;
    for (auto f : tsvRows("expected/frames/" + capture + ".tsv")) {
        f.resize(6);
        if (f[1].empty()) continue;  // blocks without a timestamp: simple packets and custom blocks
        frames.push_back({f[1], static_cast<std::uint32_t>(std::stoul(f[2])), static_cast<std::uint32_t>(std::stoul(f[3])), f[4], f[5]});
    }
    return frames;
}

/// tshark prints epoch times with nine decimals; ours are doubles: compare at the microsecond.
long long micros(const std::string& tsharkTime) {
    auto dot = tsharkTime.find('.');
    long long secs = std::stoll(tsharkTime.substr(0, dot));
    std::string frac = dot == std::string::npos ? "0" : tsharkTime.substr(dot + 1);
    frac.resize(9, '0');
    return secs * 1000000 + std::stoll(frac.substr(0, 6));
}

/// The packets of a fixture capture, read from its mapped file.
PacketList readMapped(FileDataToPacketsAsyncStream& reader, const std::string& name) {
    auto path = test::capturePath(name);
    auto data = mapFile(path);
    EXPECT_TRUE(data) << name;
    return data ? reader.parsePackets(*data, std::make_shared<QORDataCache>(path, false), path, nullptr) : PacketList();
}

/// Every capture with recorded tshark frames.
std::vector<std::string> recordedCaptures() {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(test::fixturePath("expected/frames"))) names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

class RealCapture : public ::testing::TestWithParam<std::string> {};

TEST_P(RealCapture, AgreesWithTsharkPacketByPacket) {
    const std::string name = GetParam();
    FileDataToPacketsAsyncStream reader;
    auto packets = readMapped(reader, name);
    auto frames = tsharkFrames(name);
    ASSERT_EQ(packets.size(), frames.size()) << name;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        auto& p = *packets[i];
        SCOPED_TRACE(name + " packet " + std::to_string(i + 1));
        EXPECT_EQ(p.packetId(), static_cast<std::int64_t>(i + 1));
        EXPECT_EQ(p.captureLength(), frames[i].caplen);
        EXPECT_EQ(p.realLength(), frames[i].len);
        EXPECT_EQ(std::llround(p.dateReceived() * 1e6), micros(frames[i].time));
        if (!frames[i].interfaceId.empty() && reader.lastPcapngMetadata().has_value()) {
            EXPECT_EQ(p.pcapngInterfaceIndex(), std::optional<std::int64_t>(std::stoll(frames[i].interfaceId)));
        }
        EXPECT_EQ(p.packetComment().value_or(""), frames[i].comment);
        auto bytes = p.data();
        ASSERT_TRUE(bytes);
        EXPECT_EQ(bytes->size(), p.captureLength());
    }
    // capinfos also counts simple packet blocks, which carry no timestamp and are not read here.
    for (auto row : tsvRows("expected/capinfos-counts.tsv")) {
        if (row.at(0) == name && name.find("test102") == std::string::npos) {
            EXPECT_EQ(row.at(1), std::to_string(packets.size()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealCapture, ::testing::ValuesIn(recordedCaptures()),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (auto& c : n) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return n;
                         });

TEST(RealCaptureDamage, TruncatedAndMalformedFilesSayWhy) {
    for (const char* name : {"bad_rsn_parsing_overrides_ssid.pcap", "test007.ntar"}) {
        FileDataToPacketsAsyncStream reader;
        readMapped(reader, name);
        EXPECT_TRUE(reader.lastReadIssue()) << name;
    }
}

TEST(RealCaptureMetadata, SectionAndInterfacesOfManyInterfaces) {
    FileDataToPacketsAsyncStream reader;
    readMapped(reader, "many_interfaces-1.pcapng");
    ASSERT_TRUE(reader.lastPcapngMetadata());
    EXPECT_EQ(reader.lastPcapngMetadata()->interfaces.size(), 11u);
}

}  // namespace
}  // namespace qor
