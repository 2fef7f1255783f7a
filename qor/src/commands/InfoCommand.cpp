// qor info FILE: what a capture file holds.

#include <cmath>
#include <ctime>
#include <fmt/format.h>
#include <map>
#include <nlohmann/json.hpp>

#include "CaptureLoading.hpp"
#include "Command.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor::cli {
namespace {

/// Seconds since 1970 as "2023-11-14 22:13:20.123456 UTC"; "Not representable" outside the
/// years 1 to 9999.
std::string utcText(double seconds) {
    if (!isCalendarRepresentable(seconds)) return "Not representable";
    double whole = std::floor(seconds);
    auto t = static_cast<std::time_t>(whole);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char date[40];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
    auto micros = static_cast<long>(std::llround((seconds - whole) * 1e6));
    if (micros >= 1000000) micros = 999999;
    return fmt::format("{}.{:06d} UTC", date, micros);
}

struct Summary {
    std::uint64_t packets = 0;
    std::uint64_t dataBytes = 0;     // sum of captured lengths
    std::uint64_t wireBytes = 0;     // sum of original lengths
    std::optional<double> first, last;
    std::map<std::uint32_t, std::uint64_t> linkTypes;  // link type -> packets
};

/// Adds packets to the summary.
void summarize(Summary& s, std::span<const std::shared_ptr<QORPacket>> packets) {
    for (const auto& p : packets) {
        ++s.packets;
        s.dataBytes += p->captureLength();
        s.wireBytes += p->realLength();
        double t = p->dateReceived();
        if (!s.first || t < *s.first) s.first = t;
        if (!s.last || t > *s.last) s.last = t;
        ++s.linkTypes[p->linkType()];
    }
}

std::string linkName(std::uint32_t linkType) {
    return ProtocolsStringsCache::sharedCache().linkTypeStringForKey(std::to_string(linkType)).value_or("unknown");
}

void run(const std::string& file, bool json) {
    // One pass over the record headers: no packet is kept, nor are its bytes touched.
    Summary s;
    const CaptureFacts capture = streamCapture(
        file, {},
        [&](std::span<const std::shared_ptr<QORPacket>> window) {
            summarize(s, window);
            return true;
        },
        /*analyse=*/false);
    // Link types: those of the packets; for a file without packets, the header's or interfaces'.
    std::map<std::uint32_t, std::uint64_t> links = s.linkTypes;
    if (links.empty() && capture.classicLinkType) links[*capture.classicLinkType] = 0;
    if (links.empty() && capture.metadata) {
        for (auto& i : capture.metadata->interfaces) links.emplace(i.linkType, 0);
    }
    double duration = s.first ? *s.last - *s.first : 0.0;

    if (json) {
        nlohmann::json j;
        j["file"] = file;
        j["format"] = capture.isPcapng ? "pcapng" : "pcap";
        j["fileSize"] = capture.fileSize;
        j["packetCount"] = s.packets;
        j["dataSize"] = s.dataBytes;
        j["wireSize"] = s.wireBytes;
        auto lt = nlohmann::json::array();
        for (auto& [type, count] : links) lt.push_back({{"linkType", type}, {"name", linkName(type)}, {"packets", count}});
        j["linkTypes"] = lt;
        if (s.first) {
            j["firstTime"] = *s.first;
            j["lastTime"] = *s.last;
            j["duration"] = duration;
        }
        if (capture.isPcapng) {
            const auto& m = capture.metadata;
            auto put = [&](const char* key, const std::optional<std::string>& v) {
                if (v) j[key] = *v;
            };
            if (m) {
                put("hardware", m->hardware);
                put("operatingSystem", m->operatingSystem);
                put("application", m->application);
            }
            put("sectionComment", capture.sectionComment);
            auto ifs = nlohmann::json::array();
            if (m) {
                for (std::size_t i = 0; i < m->interfaces.size(); ++i) {
                    auto& info = m->interfaces[i];
                    nlohmann::json o{{"index", i}, {"linkType", info.linkType}, {"linkTypeName", linkName(info.linkType)}};
                    if (info.name) o["name"] = *info.name;
                    if (info.descriptionText) o["description"] = *info.descriptionText;
                    if (info.operatingSystem) o["operatingSystem"] = *info.operatingSystem;
                    if (info.speed) o["speed"] = *info.speed;
                    ifs.push_back(o);
                }
            }
            j["interfaces"] = ifs;
            j["tlsSecretCount"] = m ? m->tlsSecretCount : 0;
        }
        if (capture.issue) j["issue"] = *capture.issue;
        fmt::print("{}\n", j.dump(2));
    } else {
        fmt::print("File:             {}\n", file);
        fmt::print("Format:           {}\n", capture.isPcapng ? "pcapng" : "pcap");
        fmt::print("File size:        {} bytes\n", capture.fileSize);
        for (auto& [type, count] : links) fmt::print("Link type:        {} ({}), {} packets\n", type, linkName(type), count);
        fmt::print("Packets:          {}\n", s.packets);
        fmt::print("Data size:        {} bytes\n", s.dataBytes);
        fmt::print("Wire size:        {} bytes\n", s.wireBytes);
        if (s.first) {
            fmt::print("First packet:     {}\n", utcText(*s.first));
            fmt::print("Last packet:      {}\n", utcText(*s.last));
            fmt::print("Duration:         {:.6f} seconds\n", duration);
        }
        if (capture.isPcapng) {
            const auto& m = capture.metadata;
            auto show = [](const char* label, const std::optional<std::string>& v) {
                if (v) fmt::print("{:<18}{}\n", label, *v);
            };
            if (m) {
                show("Hardware:", m->hardware);
                show("OS:", m->operatingSystem);
                show("Application:", m->application);
            }
            show("Comment:", capture.sectionComment);
            if (m) {
                for (std::size_t i = 0; i < m->interfaces.size(); ++i) {
                    auto& info = m->interfaces[i];
                    fmt::print("Interface {}:      {} ({})", i, info.linkType, linkName(info.linkType));
                    if (info.name) fmt::print(" name {}", *info.name);
                    if (info.descriptionText) fmt::print(" description {}", *info.descriptionText);
                    if (info.operatingSystem) fmt::print(" os {}", *info.operatingSystem);
                    if (info.speed) fmt::print(" speed {}", *info.speed);
                    fmt::print("\n");
                }
            }
            fmt::print("TLS secrets:      {}\n", m ? m->tlsSecretCount : 0);
        }
    }
    std::fflush(stdout);
    reportReadIssue(capture);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* cmd = app.add_subcommand("info", "Summarise a capture file: format, link types, packets, bytes, times");
    auto file = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("FILE", *file, "pcap or pcapng file")->required();
    cmd->add_flag("--json", *json, "Print one JSON object");
    cmd->callback([file, json] { run(*file, *json); });
}};

}  // namespace
}  // namespace qor::cli
