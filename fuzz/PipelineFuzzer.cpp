// Fuzz target for the whole analysis pipeline: the standard plug-in's analyzers, chained by the
// packet record's lazy analysis, over hostile packets of every link type the plug-in handles.
//
// Input: a capture file (pcap or pcapng), whose packets are read; or, when the bytes are no
// capture, one raw packet, whose first byte chooses the link type (among the link-type names an
// analyzer handles) it is analysed as. The first packet is asked for its chain, summary line,
// addresses, detail tree and every attribute key its chain can answer (a raw packet is then
// analysed a second time, redissected); the next two of a capture are asked what a listing asks.
//
// One link type per input rather than every one: the fuzzer reaches each link type through the
// first byte at the cost of one analysis, where trying all of them made every input pay for
// twenty analyses, most of which repeat a path already covered.
//
// The plug-in is loaded once by the plug-in controller from $QOR_BUILTIN_PLUGINS_DIR, or else
// from the build tree's plug-in folder.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "QORModels/analysis/PluginLookupTable.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"
#include "support/StandardPlugIn.hpp"

namespace {

/// Packets analysed per capture input at most. Every packet read is analysed and asked for its
/// detail tree and keys, which under the sanitizers costs about a tenth of a millisecond; a
/// capture of dozens of packets made each run cost milliseconds. The reader still reads every
/// block of the input; the analyzers meet each new packet as the first packets of later inputs.
constexpr std::size_t kMaxPacketsPerInput = 3;
/// Largest raw packet tried (a jumbo frame's worth; the walk counts in 16 bits anyway).
constexpr std::size_t kMaxRawPacket = 65535 + 16;

/// What every input is tried against, worked out once.
struct Setup {
    /// One link type number per link-type name that an analyzer handles. Analysis depends on
    /// the number only through its name (the analyzers that read the number itself, loopback
    /// and Linux cooked, have a name per number), so further numbers of one name (the five of
    /// raw IP) would repeat the same analysis.
    std::vector<std::uint32_t> linkTypes;
    /// A key asked of every packet: an attribute key with the class that owns it, or a column
    /// key path that is no attribute key (no owner).
    struct Key {
        std::string name;
        qor::AnalyzerClassRef owner;
    };
    /// Every attribute key and column key path, each once.
    std::vector<Key> keys;

    Setup() {
        qor::fuzz::activateStandardPlugIn();
        auto table = qor::PluginLookupTable::current();
        std::set<std::string> names;
        for (const auto& [number, name] : qor::ProtocolsStringsCache::sharedCache().linkTypes()) {
            if (table->analyzerClassByProtocol.contains(name) && names.insert(name).second) linkTypes.push_back(number);
        }
        for (const auto& [key, attribute] : table->attributeByKey) keys.push_back({key, attribute.plugInAnalyzerClass});
        std::set<std::string> columnKeys;
        for (const auto& [keyPath, cls] : table->columnBindings)
            if (!table->attributeByKey.contains(keyPath) && columnKeys.insert(keyPath).second) keys.push_back({keyPath, nullptr});
    }
};

const Setup& setup() {
    static const Setup s;
    return s;
}

/// The keys owned by an analyzer class or one of its superclasses, worked out once per class.
const std::vector<const Setup::Key*>& ownedKeys(const Setup& s, const qor::QORPluginAnalyzerClass& cls) {
    static std::unordered_map<const qor::QORPluginAnalyzerClass*, std::vector<const Setup::Key*>> byClass;
    auto [it, added] = byClass.try_emplace(&cls);
    if (added) {
        for (const auto& key : s.keys)
            if (key.owner && cls.isSubclassOf(*key.owner)) it->second.push_back(&key);
    }
    return it->second;
}

/// What a listing asks of a packet: its summary line and addresses from a walk that is not
/// kept, then as the analysis notes them (the second call analyses), then its chain, summary
/// line and addresses through the accessors.
void list(const std::shared_ptr<qor::QORPacket>& packet) {
    (void)packet->listingTexts(qor::QORPacket::ListingAnalysis::once);
    (void)packet->listingTexts();
    (void)packet->packetInfoOverview();
    (void)packet->packetSourceString();
    (void)packet->packetDestinationString();
    (void)packet->packetEtherSrc();
}

/// What a detail view and the filters ask besides: the detail tree and every key the chain
/// answers.
void exercise(const std::shared_ptr<qor::QORPacket>& packet, const Setup& s) {
    list(packet);
    (void)packet->nodes();
    // Every key that an analyzer of the chain owns reads that analyzer's slice of the packet, so
    // each is asked. A key that no analyzer owns takes one path whichever key it is (the table,
    // the chain, no owner, the column bindings) and reads nothing of the packet: one of them per
    // packet covers that path, and asking the other seventy-odd would only repeat it (each
    // request makes the chain again).
    auto chain = packet->cachedAnalyzers().value_or(qor::AnalyzerChain{});
    std::set<const Setup::Key*> owned;
    for (const auto& analyzer : chain)
        if (analyzer) for (const auto* key : ownedKeys(s, analyzer->analyzerClass())) owned.insert(key);
    for (const auto* key : owned) (void)packet->valueForKey(key->name);
    auto unowned = std::find_if(s.keys.begin(), s.keys.end(), [&](const Setup::Key& k) { return !owned.contains(&k); });
    if (unowned != s.keys.end()) (void)packet->valueForKey(unowned->name);
}

}  // namespace

/// libFuzzer's entropic schedule keeps a frequency per coverage feature and updates it on every
/// run; with the thirty thousand features the whole pipeline reaches, that bookkeeping took more
/// time than the run itself (half of all time against a third for the target). The target turns
/// it off for itself; a flag given on the command line comes later and still wins.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static char entropicOff[] = "-entropic=0";
    static std::vector<char*> args;
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + (args.empty() ? 0 : 1), entropicOff);
    *argc = static_cast<int>(args.size());
    args.push_back(nullptr);
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const Setup& s = setup();
    qor::Data data = qor::Data::copy({reinterpret_cast<const std::byte*>(bytes), size});
    const std::filesystem::path url("fuzz-input.pcap");

    qor::FileDataToPacketsAsyncStream reader;
    std::vector<std::shared_ptr<qor::QORPacket>> packets;
    try {
        // A cache without a file: the input is no file, and sizing the cache after one costs a
        // file-system look-up per input.
        packets = reader.parsePackets(data, std::make_shared<qor::QORDataCache>(), url, nullptr);
    } catch (const std::exception&) {
        packets.clear();
    }
    if (!packets.empty()) {
        // The first packet is examined whole, the next few as a listing shows them.
        exercise(packets.front(), s);
        for (std::size_t i = 1; i < packets.size() && i < kMaxPacketsPerInput; ++i) list(packets[i]);
        return 0;
    }

    if (size == 0 || size > kMaxRawPacket || s.linkTypes.empty()) return 0;
    auto cache = std::make_shared<qor::QORDataCache>();
    cache->set(data, qor::UInt32Range{0, static_cast<std::uint32_t>(size)});
    auto packet = qor::QORPacket::create();
    packet->setPacketId(1);
    packet->setCaptureLength(static_cast<std::uint32_t>(size));
    packet->setRealLength(static_cast<std::uint32_t>(size));
    packet->setLinkType(s.linkTypes[bytes[0] % s.linkTypes.size()]);
    packet->setDataCache(cache);
    packet->setFilePath(url);
    exercise(packet, s);
    packet->redissect();  // analysed again from the same bytes, as after a plug-in change
    return 0;
}
