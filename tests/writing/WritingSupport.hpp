#pragma once
// Helpers for the writer tests: packets built in memory over a data cache.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <sstream>

#include "QORCommonTools/QORAnalyzingUtilities.hpp"
#include "QORModels/packets/CaptureFileReader.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "QORModels/packets/PacketsToFileDataAsyncStream.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {

using Packets = std::vector<std::shared_ptr<QORPacket>>;

/// What a test packet holds.
struct PacketSpec {
    Data bytes;
    double time = 0;
    std::uint32_t linkType = 1;
    std::optional<std::uint32_t> realLength = std::nullopt;  ///< defaults to the byte count
    std::optional<std::string> comment = std::nullopt;
    bool bytesAvailable = true;               ///< false: no data cache entry for the packet
};

/// Packets whose bytes lie one after another in a fresh in-memory data cache.
inline std::vector<std::shared_ptr<QORPacket>> makePackets(const std::vector<PacketSpec>& specs,
                                                           std::shared_ptr<QORDataCachingProtocol> cache = nullptr) {
    if (!cache) cache = std::make_shared<QORDataCache>();
    std::vector<std::shared_ptr<QORPacket>> packets;
    std::uint32_t offset = 0;
    std::int64_t id = 0;
    for (const auto& spec : specs) {
        auto p = QORPacket::create();
        const auto size = static_cast<std::uint32_t>(spec.bytes.size());
        p->setPacketId(++id);
        p->setDataLocation(offset);
        p->setCaptureLength(size);
        p->setRealLength(spec.realLength.value_or(size));
        p->setDateReceived(spec.time);
        p->setLinkType(spec.linkType);
        p->setPacketComment(spec.comment);
        if (spec.bytesAvailable) cache->set(spec.bytes, {offset, offset + size});
        p->setDataCache(cache);
        offset += size;
        packets.push_back(std::move(p));
    }
    return packets;
}

/// `count` packets of `size` bytes each (byte i of packet k is k+i), one millisecond apart.
inline std::vector<PacketSpec> uniformSpecs(std::size_t count, std::size_t size) {
    std::vector<PacketSpec> specs;
    for (std::size_t k = 0; k < count; ++k) {
        std::vector<std::byte> b(size);
        for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::byte>(k + i);
        specs.push_back({Data(std::move(b)), 1'700'000'000.0 + static_cast<double>(k) / 1000.0});
    }
    return specs;
}

/// The packets the library's reader finds in `data`, read as the file at `url`.
inline std::vector<std::shared_ptr<QORPacket>> readCapture(const Data& data, const std::filesystem::path& url) {
    return FileDataToPacketsAsyncStream().parsePackets(data, std::make_shared<QORDataCache>(), url, nullptr);
}

/// The whole text of a file; empty when it cannot be read.
inline std::string slurp(const std::filesystem::path& p) { return std::filesystem::exists(p) ? readFile(p).toString() : std::string(); }

/// The packets the library's reader finds in the file at `path`.
inline std::vector<std::shared_ptr<QORPacket>> readCapture(const std::filesystem::path& path) { return readCapture(readFile(path), path); }

/// `packets` as classic pcap with the usual snapshot length, never cancelled.
inline Data classicBytes(const std::vector<std::shared_ptr<QORPacket>>& packets, std::uint32_t linkType = 1) {
    return PacketsToFileDataAsyncStream::serialize(packets, linkType, 262144, std::nullopt, {}, [] { return false; });
}

/// A streaming sink that keeps every chunk it is handed.
struct Collector {
    std::vector<std::byte> bytes;
    std::size_t chunks = 0;
    auto sink() {
        return [this](std::span<const std::byte> chunk) {
            ++chunks;
            bytes.insert(bytes.end(), chunk.begin(), chunk.end());
            return true;
        };
    }
    [[nodiscard]] Data data() const { return Data(bytes); }
};

struct RunResult {
    int status = -1;
    std::string out, err;
};

/// Runs a shell command in `dir`, key logs going to dir/keylogs. tshark's note about running as
/// root is dropped from stderr: it is not a warning about the file.
inline RunResult runIn(const std::filesystem::path& dir, const std::string& command) {
    const auto out = dir / "stdout.txt", err = dir / "stderr.txt";
    const std::string cmd = "cd '" + dir.string() + "' && QOR_KEYLOG_DIR='" + (dir / "keylogs").string() + "' " + command +
                            " >'" + out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(cmd.c_str());
    RunResult r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), {}};
    std::istringstream lines(slurp(err));
    for (std::string line; std::getline(lines, line);)
        if (line.find("Running as user \"root\"") == std::string::npos) r.err += line + "\n";
    return r;
}

/// The fixture captures by name (.pcap, .pcapng, .cap and, when asked, .ntar), sorted.
inline std::vector<std::string> fixtureCaptures(bool withNtar) {
    std::vector<std::string> names;
    for (auto& entry : std::filesystem::directory_iterator(capturePath(""))) {
        auto ext = entry.path().extension().string();
        if (ext == ".pcap" || ext == ".pcapng" || ext == ".cap" || (withNtar && ext == ".ntar"))
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

/// The fixture captures (without the damaged .ntar) whose packets have `linkTypes` distinct link
/// types or fewer: those a classic pcap file, which has one link type, can hold. `atLeastOne`
/// leaves out captures without packets.
inline std::vector<std::string> classicCapableCaptures(bool atLeastOne) {
    std::vector<std::string> names;
    for (const auto& name : fixtureCaptures(false)) {
        std::vector<std::uint32_t> seen;
        CaptureFileReader::read(readFile(capturePath(name)), [&](std::shared_ptr<QORPacket> p) {
            if (std::find(seen.begin(), seen.end(), p->linkType()) == seen.end()) seen.push_back(p->linkType());
            return true;
        });
        if (seen.size() <= 1 && (!atLeastOne || seen.size() == 1)) names.push_back(name);
    }
    return names;
}

/// A capture name as a test name: every character but letters and digits becomes '_'.
inline std::string testName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

/// The bytes in lower-case hexadecimal digits, for readable comparisons.
inline std::string hex(const Data& d) { return QORAnalyzingUtilities::hexStringFromData(d, false); }

}  // namespace qor::test
