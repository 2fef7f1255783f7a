// Fuzz target for the access-network and application analyzers of the standard plug-in.
//
// Input: the first byte picks one analyzer class (modulo the number of classes), the rest are
// the bytes the class is asked to analyse. Every method of the analyzer is called, with the whole
// bytes and with cut and shifted views of them, and the detail tree is walked to the leaves, so a
// length field that lies is met on every path. The plug-in is loaded by the plug-in controller.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/RuntimeClass.hpp"
#include "support/StandardPlugIn.hpp"

namespace {

/// The classes under test, in the order the first input byte picks them (the seed corpus names
/// its files after the class and starts each with that class's index).
constexpr std::array<std::string_view, 18> kClasses = {
    "PPPoEDiscoveryAnalyzer", "PPPoESessionAnalyzer", "PPPAnalyzer",  "LCPAnalyzer",  "IPCPAnalyzer",
    "IPv6CPAnalyzer",         "CCPAnalyzer",          "PAPAnalyzer",  "CHAPAnalyzer", "GREAnalyzer",
    "L2TPAnalyzer",           "RADIUSAnalyzer",       "DHCPAnalyzer", "NTPAnalyzer",  "TLSAnalyzer",
    "HTTPAnalyzer",           "SMTPAnalyzer",         "PPPAnalyzer",
};

/// Every attribute key the classes answer, and "payloadSize".
constexpr std::array<std::string_view, 47> kKeys = {
    "payloadSize",      "pppoedCode",      "pppoedSessionId",   "pppoedACName",       "pppoedServiceName",
    "pppoesSessionId",  "pppoesLength",    "pppProtocol",       "lcpCode",            "lcpIdentifier",
    "ipcpCode",         "ipcpIdentifier",  "ipcpAddress",       "ipv6cpCode",         "ccpCode",
    "papCode",          "papPeerID",       "chapCode",          "chapName",           "greProtocol",
    "greCallId",        "greKey",          "l2tpTunnelId",      "l2tpSessionId",      "l2tpIsControl",
    "l2tpMessageType",  "radiusCode",      "radiusIdentifier",  "radiusUserName",     "radiusAcctSessionId",
    "dhcpMessageType",  "dhcpTransactionId", "dhcpYourAddress", "ntpMode",            "ntpStratum",
    "tlsContentType",   "tlsServerName",   "httpMethod",        "httpStatusCode",     "smtpReplyCode",
    "lcpMRU",           "l2tpResultCode",  "l2tpAssignedTunnelId", "l2tpAssignedSessionId", "l2tpHostName",
    "radiusAcctStatusType", "radiusNASIPAddress",
};

/// Volatile sink so the optimiser keeps every call.
volatile std::size_t gSink = 0;

void walk(const qor::NodeList& nodes, int depth) {
    if (depth > 16) return;
    for (const auto& n : nodes) {
        gSink = gSink + n->nodeName().size() + n->nodeValue().size();
        walk(n->children(), depth + 1);
    }
}

void exercise(const qor::QORPluginAnalyzerProtocol& a, const qor::Data& data) {
    gSink = gSink + a.protocolSize() + a.hasPayload();
    if (auto next = a.nextProtocol()) gSink = gSink + next->size();
    if (auto name = a.protocolName()) gSink = gSink + name->size();
    if (auto info = a.protocolInfo()) gSink = gSink + info->size();
    gSink = gSink + a.description().size() + a.className().size() + a.analyzerClass().name().size();
    // The analyzer answers for any bytes handed to it later, not only those it was made from.
    for (const auto& view : {data, data.slice(0, data.size() / 2), data.slice(1), data.slice(data.size())}) {
        if (auto info = a.protocolInfo(view)) gSink = gSink + info->size();
        walk(a.protocolNodes(view), 0);
        for (auto key : kKeys) gSink = gSink + a.value(key, view).description().size();
        for (std::size_t n : {1u, 2u, 4u}) gSink = gSink + a.value(kKeys[1 + n], view.slice(0, n)).description().size();
    }
    for (auto key : {"protocolName", "protocolInfo", "protocolSize", "nextProtocol", "unknown"})
        gSink = gSink + a.valueForKey(key).description().size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    qor::fuzz::activateStandardPlugIn();
    if (size == 0) return 0;
    auto name = kClasses[bytes[0] % kClasses.size()];
    auto cls = std::dynamic_pointer_cast<const qor::QORPluginAnalyzerClass>(qor::ClassRegistry::shared().classNamed(name));
    if (!cls) return 0;
    auto data = qor::Data::copy({reinterpret_cast<const std::byte*>(bytes + 1), size - 1});
    if (auto analyzer = cls->make(data, nullptr)) exercise(*analyzer, data);
    return 0;
}
