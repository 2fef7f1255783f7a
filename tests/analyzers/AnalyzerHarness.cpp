// The standard analyzer plug-in loaded by the plug-in controller, and captures read by the
// library's reading stream.

#include "AnalyzerHarness.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/RuntimeClass.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

/// The bundle the build puts in its plug-in folder.
constexpr const char* kBundleName = "StandardAnalyzers.qorplugin";

}  // namespace

AnalyzerHarness& AnalyzerHarness::shared() {
    static AnalyzerHarness harness;
    return harness;
}

AnalyzerHarness::AnalyzerHarness() : controller_(QORPlugInsController::sharedManager()) {
    // CTest points the built-in plug-in folder at the build tree; a test binary run by hand
    // gets the same folder.
    if (const char* dir = std::getenv("QOR_BUILTIN_PLUGINS_DIR"); !dir || !*dir) setenv("QOR_BUILTIN_PLUGINS_DIR", QOR_BUILD_PLUGINS_DIR, 1);
    std::filesystem::path bundle = std::filesystem::path(std::getenv("QOR_BUILTIN_PLUGINS_DIR")) / kBundleName;
    if (!std::filesystem::exists(bundle / "Info.plist"))
        throw std::runtime_error("the standard analyzer plug-in is not built: " + bundle.string() + " is missing");
    controller_->activateAndPublish();
    // The plug-in registers one structure per protocol family, each under a bundle inside its own.
    for (const auto& [b, s] : controller_->plugIns())
        if (b && b->bundlePath().string().starts_with(bundle.string())) return;
    throw std::runtime_error("the plug-in controller did not load " + bundle.string());
}

AnalyzerRef AnalyzerHarness::make(std::string_view className, const Data& bytes, const PacketRef& packet) const {
    auto cls = dynamic_cast<const QORPluginAnalyzerClass*>(ClassRegistry::shared().classNamed(className).get());
    if (!cls) throw std::runtime_error("no analyzer class " + std::string(className));
    return cls->make(bytes, packet);
}

std::vector<QORPlugInStructure> AnalyzerHarness::structures() const {
    std::vector<QORPlugInStructure> out;
    for (const auto& [bundle, structure] : controller_->plugIns()) out.push_back(structure);
    return out;
}

Capture readCapture(std::string_view name) {
    AnalyzerHarness::shared();  // the reader names link types by the plug-in's registrations
    auto path = capturePath(name);
    Capture capture;
    capture.cache = std::make_shared<QORDataCache>(path, false);
    FileDataToPacketsAsyncStream reader;
    auto stream = reader.startStream({}, capture.cache, readFile(path), path);
    while (auto update = stream.next())
        if (auto* packets = update->payload()) capture.packets = std::move(*packets);
    return capture;
}

std::vector<std::string> fixtureCaptures() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(capturePath(""))) {
        const auto ext = entry.path().extension();
        if (ext == ".pcap" || ext == ".pcapng" || ext == ".cap" || ext == ".ntar") names.push_back(entry.path().filename().string());
    }
    return names;
}

std::string chainHistory(const QORPacket& packet) {
    std::string out;
    auto chain = packet.cachedAnalyzers();
    if (!chain) return out;
    // The first analyzer is the built-in packet analyzer, which every chain starts with.
    for (std::size_t i = 1; i < chain->size(); ++i) out += (out.empty() ? "" : "-") + (*chain)[i]->protocolName().value_or("?");
    return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::string piece;
    std::istringstream in(text);
    while (std::getline(in, piece, separator)) out.push_back(piece);
    if (!text.empty() && text.back() == separator) out.emplace_back();
    return out;
}

std::vector<std::vector<std::string>> readExpectedRows(std::string_view name, std::size_t columns) {
    std::ifstream in(fixturePath("expected/" + std::string(name)));
    EXPECT_TRUE(in) << "no expectations in " << name;
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        rows.push_back(split(line, '\t'));
        if (rows.back().size() < columns) rows.back().resize(columns);
    }
    return rows;
}

std::string captureTestName(std::string_view capture) {
    std::string name;
    for (char c : capture) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

std::shared_ptr<QORPacket> packetWith(std::uint32_t linkType, const Data& bytes) {
    auto packet = QORPacket::create();
    auto cache = std::make_shared<QORDataCache>();
    cache->set(bytes, UInt32Range{0, static_cast<std::uint32_t>(bytes.size())});
    packet->setDataCache(cache);
    packet->setLinkType(linkType);
    packet->setCaptureLength(static_cast<std::uint32_t>(bytes.size()));
    packet->setRealLength(static_cast<std::uint32_t>(bytes.size()));
    return packet;
}

}  // namespace qor::test
