// What loading the standard plug-in costs a process that never decrypts: the plug-in opens
// libcrypto itself the first time a TLS session is decrypted, so loading it and analysing
// captures (TLS among them, with their summary lines and detail trees) leaves libcrypto out of
// the process. Decryption through the opened library is shown end to end by the qor tls and
// follow --decrypt tests, whose qor process links no libcrypto either.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/opensslv.h>

#include <string>

#include "AnalyzerHarness.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor::test {
namespace {

bool libCryptoLoaded() {
    const std::string name = "libcrypto.so." + std::to_string(OPENSSL_SHLIB_VERSION);
    void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return false;
    ::dlclose(handle);  // gives back the reference RTLD_NOLOAD took
    return true;
}

TEST(StandardPlugInLoading, AnalysingTLSLeavesLibcryptoUnloaded) {
    ASSERT_FALSE(libCryptoLoaded()) << "the test process itself must not link libcrypto";
    (void)AnalyzerHarness::shared();
    EXPECT_FALSE(libCryptoLoaded()) << "loading the plug-in loaded libcrypto";
    std::size_t tls = 0;
    for (const char* name : {"tls_nss_example.pcap", "illustrated-tls12-dsb.pcapng", "tls1_3.pcap"}) {
        auto capture = readCapture(name);
        for (const auto& packet : capture.packets) {
            if (chainHistory(*packet).find("TLS") == std::string::npos) continue;
            ++tls;
            EXPECT_FALSE(packet->packetInfoOverview().empty());
            EXPECT_FALSE(packet->nodes().empty());
        }
    }
    EXPECT_GT(tls, 10u);
    EXPECT_FALSE(libCryptoLoaded()) << "analysing TLS packets loaded libcrypto";
}

}  // namespace
}  // namespace qor::test
