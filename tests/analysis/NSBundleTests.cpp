// Plug-in bundles: manifests in XML and binary form, broken bundles, components, the built-in folder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "QORPlatform/NSBundle.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

/// A binary property list (written by Python's plistlib, FMT_BINARY) with CFBundleExecutable
/// "libX.so", CFBundleIdentifier "com.example.binary" and NSPrincipalClass "BinaryPrincipal".
constexpr const char* kBinaryManifestHex =
    "62706c6973743030d30102030405065f1012434642756e646c6545786563757461626c655f1012434642756e646c654964656e7469666965"
    "725f10104e535072696e636970616c436c617373576c6962582e736f5f1012636f6d2e6578616d706c652e62696e6172795f100f42696e61"
    "72795072696e636970616c080f24394c5469000000000000010100000000000000070000000000000000000000000000007b";

Data fromHex(std::string_view hex) {
    std::vector<std::byte> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return Data(std::move(out));
}

TEST(NSBundle, ReadsBinaryAndXMLManifests) {
    TempDir dir;
    std::filesystem::create_directories(dir.path / "Binary.qorplugin");
    dir.write("Binary.qorplugin/Info.plist", fromHex(kBinaryManifestHex));
    auto binary = NSBundle::bundleWithPath(dir.path / "Binary.qorplugin");
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->principalClassName(), "BinaryPrincipal");
    EXPECT_EQ(binary->executablePath(), dir.path / "Binary.qorplugin" / "libX.so");
    EXPECT_EQ(binary->bundleIdentifier(), "com.example.binary");
    // The library does not exist: loading fails with dlopen's reason, and there is no class.
    EXPECT_FALSE(binary->load());
    EXPECT_FALSE(binary->loadError().empty());
    EXPECT_FALSE(binary->principalClass());

    std::filesystem::create_directories(dir.path / "Xml.plugin");
    dir.write("Xml.plugin/Info.plist",
              Data::fromString("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
                               "<string>libY.so</string></dict></plist>"));
    auto xml = NSBundle::bundleWithPath(dir.path / "Xml.plugin");
    ASSERT_TRUE(xml);
    EXPECT_EQ(xml->principalClassName(), "");
    auto part = xml->component("Part");
    EXPECT_EQ(part->bundlePath(), dir.path / "Xml.plugin" / "Part");
    EXPECT_EQ(part->executablePath(), std::filesystem::absolute(dir.path / "Xml.plugin" / "libY.so"));
}

TEST(NSBundle, RejectsMissingFoldersAndBrokenManifests) {
    TempDir dir;
    EXPECT_FALSE(NSBundle::bundleWithPath(dir.path / "Missing.qorplugin"));
    std::filesystem::create_directories(dir.path / "Empty.qorplugin");
    EXPECT_FALSE(NSBundle::bundleWithPath(dir.path / "Empty.qorplugin"));
    for (auto [folder, manifest] :
         {std::pair{"Garbage.qorplugin", "\x01\x02 not a plist"},
          std::pair{"NoExecutable.qorplugin", "<plist version=\"1.0\"><dict><key>NSPrincipalClass</key><string>P</string></dict></plist>"},
          std::pair{"Array.qorplugin", "<plist version=\"1.0\"><array><string>x</string></array></plist>"}}) {
        std::filesystem::create_directories(dir.path / folder);
        dir.write(std::string(folder) + "/Info.plist", Data::fromString(manifest));
        EXPECT_FALSE(NSBundle::bundleWithPath(dir.path / folder)) << folder;
    }
}

TEST(NSBundle, BuiltInFolderFollowsTheEnvironmentOrTheLibrary) {
    const char* old = std::getenv("QOR_BUILTIN_PLUGINS_DIR");
    std::string saved = old ? old : "";
    setenv("QOR_BUILTIN_PLUGINS_DIR", "/somewhere/PlugIns", 1);
    EXPECT_EQ(NSBundle::builtInPlugInsPath(), "/somewhere/PlugIns");
    unsetenv("QOR_BUILTIN_PLUGINS_DIR");
    auto path = NSBundle::builtInPlugInsPath();
    EXPECT_EQ(path.filename(), "PlugIns");
    EXPECT_EQ(path.parent_path().filename(), "qor");
    EXPECT_TRUE(std::filesystem::exists(path.parent_path().parent_path() / "libQORPlatform.so"));
    if (old) setenv("QOR_BUILTIN_PLUGINS_DIR", saved.c_str(), 1);
}

}  // namespace
}  // namespace qor::test
